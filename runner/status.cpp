#include "status.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config_text.h"
#include "globals.h"
#include "json_text.h"
#include "log.h"
#include "version.h"

#define VERSION_FILE "./localdata/config/lh.version.config"
#define CONFIG_FILE "./localdata/config/lh.config"
#define BASIC_FORMAT "\"runnerVersion\":\"%s\", \"workerVersion\":\"%s\", \"uptime\":\"%ld\""

void my_output_utility(GDataOutputStream *dos, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    gchar *s = g_strdup_vprintf(fmt, ap);
    va_end(ap);
    (void)g_data_output_stream_put_string(dos, s, nullptr, nullptr);
    g_free(s);
}

// The basic members; a worker version too long for them is left out, so
// the document stays whole and valid.
static void formatBasic(char (&basic)[128], const char *workerVersion, long uptime)
{
    char safe[128];
    if (jsonStringContent(workerVersion, safe, sizeof safe) &&
        snprintf(basic, sizeof basic, BASIC_FORMAT, APP_VERSION, safe, uptime) <
            static_cast<int>(sizeof basic))
        return;
    LOGINFO("lhr, workerVersion too long, left out");
    (void)snprintf(basic, sizeof basic, "\"runnerVersion\":\"%s\", \"uptime\":\"%ld\"", APP_VERSION,
                   uptime);
}

// Formats {"<name>":"<value>",<basic>} into subbuff; false (and a log line)
// when it does not fit, so the member is left out rather than cut.
static bool formatMember(char (&subbuff)[512], const char *name, const char *value,
                         const char *basic)
{
    char safe[512];
    if (jsonStringContent(value, safe, sizeof safe) &&
        snprintf(subbuff, sizeof subbuff, "{\"%s\":\"%s\"%s%s}", name, safe, ",", basic) <
            static_cast<int>(sizeof subbuff))
        return true;
    LOGINFO("lhr, %s too long, left out", name);
    return false;
}

void request_handler(const gchar *, const gchar *, const gchar *, GHashTable *,
                     GOutputStream *output_stream, gpointer)
{
    GDataOutputStream *dos = g_data_output_stream_new(output_stream);
    // Both header lines, and the empty line, in one write; a fixed text
    // needs no formatting.
    (void)g_data_output_stream_put_string(dos, "Content-Type: application/json\r\nStatus: 200 OK\r\n\r\n",
                                          nullptr, nullptr);

    char basicJSONProps[128];
    char tmpbuff[1024];
    unsigned char tmpbuff2[1024];
    char subbuff[512];
    const char *stateJSON = nullptr;
    int err = FILE_OK;
    size_t f_size = 0;
    memset(basicJSONProps, 0, sizeof basicJSONProps);

    char *lhConfigJSON = c_read_file(VERSION_FILE, &err, &f_size);
    long uptime = static_cast<long>((g_get_monotonic_time() - startedAtMonotonic) / G_USEC_PER_SEC);
    if (err == FILE_OK) {
        if (getJsonValue(lhConfigJSON, "version\":\"", tmpbuff, sizeof tmpbuff))
            formatBasic(basicJSONProps, tmpbuff, uptime);
        free(lhConfigJSON);
    }
    if (basicJSONProps[0] == '\0')
        formatBasic(basicJSONProps, "(unknown)", uptime);

    lhConfigJSON = c_read_file(CONFIG_FILE, &err, &f_size);
    if (err != FILE_OK) {
        LOGINFO("lhr, Error reading lh.config, %d", err);
    } else {
        if (getJsonValue(lhConfigJSON, "vqId\":\"", tmpbuff, sizeof tmpbuff)) {
            if (formatMember(subbuff, "vqId", tmpbuff, basicJSONProps))
                stateJSON = subbuff;
        } else if (getJsonValue(lhConfigJSON, "vqPd\":\"", tmpbuff, sizeof tmpbuff)) {
            memset(tmpbuff2, 0, sizeof tmpbuff2);
            const char *decoded = reinterpret_cast<const char *>(tmpbuff2);
            if (b64_decode(tmpbuff, tmpbuff2, sizeof tmpbuff2) &&
                getJsonValue(decoded, "vqPairUrl\":\"", tmpbuff, sizeof tmpbuff)) {
                if (formatMember(subbuff, "vqPairUrl", tmpbuff, basicJSONProps))
                    stateJSON = subbuff;
            } else if (strstr(decoded, "vqTokenLost") == nullptr) {
                LOGINFO("lhr, lh.config vqPd, unexpected format: %s", decoded);
            }
        } else {
            LOGINFO("lhr, lh.config unexpected format.");
        }
        free(lhConfigJSON);
    }

    if (stateJSON == nullptr) {
        (void)snprintf(subbuff, sizeof subbuff, "{%s}", basicJSONProps);
        stateJSON = subbuff;
    }
    // The body is a value to copy, never a format.
    my_output_utility(dos, "%s", stateJSON);
    g_object_unref(dos);
}
