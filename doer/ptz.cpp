#include "ptz.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <axptz.h>

#include "log.h"
#include "split.h"
#include "string_helpers.h"

static const gint video_channel = 1;
static const fixed_t speed = 65536; // 1.0 in 16.16
static const int failureResult = 123;

// The platform's objects of the current pass.
static AXPTZControlQueueGroup *ax_ptz_control_queue_group = nullptr;
static GList *capabilities = nullptr;
static AXPTZStatus *unitless_status = nullptr;

static void releaseError(GError **error)
{
    if (*error != nullptr) {
        g_error_free(*error);
        *error = nullptr;
    }
}

static void releaseCapabilities()
{
    if (capabilities == nullptr)
        return;
    for (GList *l = g_list_first(capabilities); l != nullptr; l = l->next)
        g_free(l->data);
    g_list_free(capabilities);
    capabilities = nullptr;
}

static void releaseStatus()
{
    if (unitless_status != nullptr) {
        g_free(unitless_status);
        unitless_status = nullptr;
    }
}

static gboolean get_ptz_move_capabilities()
{
    GError *error = nullptr;
    capabilities = ax_ptz_movement_handler_get_move_capabilities(video_channel, &error);
    releaseError(&error);
    return capabilities != nullptr;
}

static gboolean is_capability_supported(const char *capability)
{
    if (capabilities == nullptr)
        return FALSE;
    for (GList *l = g_list_first(capabilities); l != nullptr; l = l->next) {
        if (g_strcmp0(static_cast<const char *>(l->data), capability) == 0)
            return TRUE;
    }
    return FALSE;
}

static gboolean wait_for_camera_movement_to_finish()
{
    const int timeout = 30;
    const unsigned sleep_time = 1;
    gboolean is_moving = TRUE;
    GError *error = nullptr;
    if (!ax_ptz_movement_handler_is_ptz_moving(video_channel, &is_moving, &error)) {
        releaseError(&error);
        return FALSE;
    }
    if (!is_moving)
        return TRUE;
    for (int i = 0; i < timeout; i++) {
        if (!ax_ptz_movement_handler_is_ptz_moving(video_channel, &is_moving, &error)) {
            releaseError(&error);
            return FALSE;
        }
        sleep(sleep_time);
        if (!is_moving)
            return TRUE;
    }
    return FALSE;
}

static int cleanup(GError **local_error, gboolean doJustStatus)
{
    (void)ax_ptz_destroy(local_error);
    releaseError(local_error);
    releaseCapabilities();
    releaseStatus();
    return doJustStatus ? failureResult : 0;
}

static void logQueueValues(gint queue_pos, gint time_to_pos_one, gint poll_time)
{
    LOGINFO("PTZ: queue_pos = %d", queue_pos);
    LOGINFO("PTZ: time_to_pos_one = %d", time_to_pos_one);
    LOGINFO("PTZ: poll_time = %d", poll_time);
}

// Fills presetName and queueMode; FALSE (logged) when the command can't be
// cut into them.
static gboolean parseCommand(const char *ptzCommand, char (&presetName)[256], char (&queueMode)[256])
{
    char **tokens = nullptr;
    int count = split(ptzCommand, ';', &tokens);
    gboolean tooLong = FALSE;
    if (count >= 2) {
        int presetLen = static_cast<int>(strlen(tokens[0])) - 4;
        int modeLen = static_cast<int>(strlen(tokens[1])) - 5;
        // Longer fields are refused, not cut: a cut name could address
        // another preset.
        tooLong = presetLen > 255 || modeLen > 255;
        if (!tooLong) {
            substring(tokens[0], presetName, 5, presetLen);
            substring(tokens[1], queueMode, 6, modeLen);
        }
    }
    for (int i = 0; i < count; i++)
        g_free(tokens[i]);
    g_free(tokens);
    if (count < 2) {
        LOGINFO("PTZ: too few args error");
        return FALSE;
    }
    if (tooLong) {
        LOGINFO("PTZ: too long args error");
        return FALSE;
    }
    return TRUE;
}

int doPtz(const char *ptzCommand)
{
    char presetName[256] = "";
    char queueMode[256] = "";
    gboolean doRequestQueue = FALSE;
    gboolean doReleaseQueue = FALSE;
    gboolean retryWithStatus = FALSE;
    gboolean doJustStatus = FALSE;
    GError *local_error = nullptr;
    gint queue_pos = -1, time_to_pos_one = -1, poll_time = -1;
    int presetNumber = 0;
    gboolean moved = FALSE;

    if (!startsWith(ptzCommand, "ptz:")) {
        LOGINFO("PTZ: missing args error");
        goto failure;
    }
    if (!parseCommand(ptzCommand, presetName, queueMode))
        goto failure;
    LOGINFO("PTZ: presetName: '%s', queueMode: %s", presetName, queueMode);
    doRequestQueue = strcmp(queueMode, "Wait") == 0;

retry:
    local_error = nullptr;
    if (!ax_ptz_create(&local_error)) {
        LOGINFO("PTZ: ax_ptz_create error");
        goto failure;
    }
    ax_ptz_control_queue_group = ax_ptz_control_queue_get_app_group_instance(&local_error);
    if (ax_ptz_control_queue_group == nullptr) {
        LOGINFO("PTZ: ax_ptz_control_queue_get_app_group_instance error");
        goto failure;
    }

    if (doJustStatus) {
        if (!get_ptz_move_capabilities()) {
            LOGINFO("PTZ: get_ptz_move_capabilities error");
            goto failure;
        }
        GList *fresh = ax_ptz_movement_handler_get_move_capabilities(video_channel, &local_error);
        releaseCapabilities();
        capabilities = fresh;
        if (capabilities == nullptr) {
            LOGINFO("PTZ: ax_ptz_movement_handler_get_move_capabilities error");
            goto failure;
        }
        gboolean isPanSupported = is_capability_supported("PTZ: AX_PTZ_MOVE_ABS_PAN");
        gboolean isTiltSupported = is_capability_supported("PTZ: AX_PTZ_MOVE_ABS_TILT");
        gboolean isZoomSupported = is_capability_supported("PTZ: AX_PTZ_MOVE_ABS_ZOOM");
        gboolean isRelPanSupported = is_capability_supported("PTZ: AX_PTZ_MOVE_REL_PAN");
        gboolean isRelTiltSupported = is_capability_supported("PTZ: AX_PTZ_MOVE_REL_TILT");
        gboolean isRelZoomSupported = is_capability_supported("PTZ: AX_PTZ_MOVE_REL_ZOOM");
        LOGINFO("PTZ: Caps, APan: %d, ATilt: %d, AZoom: %d, RPan: %d, RTilt: %d, RZoom: %d",
                isPanSupported, isTiltSupported, isZoomSupported, isRelPanSupported,
                isRelTiltSupported, isRelZoomSupported);
        if (!ax_ptz_movement_handler_get_ptz_status(video_channel, AX_PTZ_MOVEMENT_PAN_TILT_UNITLESS,
                                                    AX_PTZ_MOVEMENT_ZOOM_UNITLESS, &unitless_status,
                                                    &local_error)) {
            if (local_error != nullptr && local_error->message != nullptr)
                LOGINFO("PTZ: ax_ptz_movement_handler_get_ptz_status error: %s", local_error->message);
            else if (local_error != nullptr)
                LOGINFO("PTZ: ax_ptz_movement_handler_get_ptz_status error: no msg");
            else
                LOGINFO("PTZ: ax_ptz_movement_handler_get_ptz_status error: no err");
            goto failure;
        }
        if (unitless_status != nullptr) {
            if (doRequestQueue)
                LOGINFO("PTZ: State (%d,%d,%d), use queue.", unitless_status->pan_value,
                        unitless_status->tilt_value, unitless_status->zoom_value);
            else
                LOGINFO("PTZ: State (%d,%d,%d), skip queue.", unitless_status->pan_value,
                        unitless_status->tilt_value, unitless_status->zoom_value);
        }
        return cleanup(&local_error, doJustStatus);
    }

    if (doRequestQueue) {
        const int timeout = 5;
        const unsigned sleep_time = 30;
        queue_pos = time_to_pos_one = poll_time = -1;
        for (int timer = 0;; timer++) {
            if (ax_ptz_control_queue_request(ax_ptz_control_queue_group, video_channel,
                                             AX_PTZ_CONTROL_QUEUE_GET, &queue_pos, &time_to_pos_one,
                                             &poll_time, &local_error)) {
                LOGINFO("PTZ: Queue request success AX_PTZ_CONTROL_QUEUE_GET:\n");
                LOGINFO("PTZ: queue_pos = %d\n", queue_pos);
                LOGINFO("PTZ: time_to_pos_one = %d\n", time_to_pos_one);
                LOGINFO("PTZ: poll_time = %d\n", poll_time);
                doReleaseQueue = TRUE;
                break;
            }
            LOGINFO("PTZ: Queue request failure AX_PTZ_CONTROL_QUEUE_GET:\n");
            if (local_error != nullptr && local_error->message != nullptr)
                LOGINFO("PTZ: Error, %s", local_error->message);
            else if (local_error != nullptr)
                LOGINFO("PTZ: Error with no message.");
            logQueueValues(queue_pos, time_to_pos_one, poll_time);
            if (timer == timeout) {
                LOGINFO("PTZ: Queue required aborting.");
                goto failure;
            }
            releaseError(&local_error);
            LOGINFO("PTZ: Retry wait.. %d", timer);
            sleep(sleep_time);
        }
    }

    presetNumber = atoi(presetName);
    if (presetNumber >= 1 && presetNumber <= 99) {
        moved = ax_ptz_preset_handler_goto_preset_number(
            ax_ptz_control_queue_group, video_channel, static_cast<guint>(presetNumber), speed,
            AX_PTZ_PRESET_MOVEMENT_UNITLESS, AX_PTZ_INVOKE_ASYNC, nullptr, nullptr, &local_error);
        if (!moved)
            LOGINFO("PTZ: ax_ptz_preset_handler_goto_preset_number error");
    } else {
        moved = ax_ptz_preset_handler_goto_preset_name(
            ax_ptz_control_queue_group, video_channel, presetName, speed,
            AX_PTZ_PRESET_MOVEMENT_UNITLESS, AX_PTZ_INVOKE_ASYNC, nullptr, nullptr, &local_error);
        if (!moved)
            LOGINFO("PTZ: ax_ptz_preset_handler_goto_preset_name error");
    }
    if (!moved) {
        retryWithStatus = TRUE;
        goto failure;
    }

    if (!wait_for_camera_movement_to_finish()) {
        LOGINFO("PTZ: wait_for_camera_movement_to_finish error");
        goto failure;
    }
    LOGINFO("PTZ: Move end");

    if (doReleaseQueue) {
        doReleaseQueue = FALSE;
        queue_pos = time_to_pos_one = poll_time = -1;
        if (!ax_ptz_control_queue_request(ax_ptz_control_queue_group, video_channel,
                                          AX_PTZ_CONTROL_QUEUE_DROP, &queue_pos, &time_to_pos_one,
                                          &poll_time, &local_error))
            goto failure;
        LOGINFO("PTZ: Request AX_PTZ_CONTROL_QUEUE_DROP:");
        logQueueValues(queue_pos, time_to_pos_one, poll_time);
    }
    return cleanup(&local_error, doJustStatus);

failure:
    if (doReleaseQueue) {
        doReleaseQueue = FALSE;
        queue_pos = time_to_pos_one = poll_time = -1;
        GError *local_error_release_only = nullptr;
        if (ax_ptz_control_queue_request(ax_ptz_control_queue_group, video_channel,
                                         AX_PTZ_CONTROL_QUEUE_DROP, &queue_pos, &time_to_pos_one,
                                         &poll_time, &local_error_release_only)) {
            LOGINFO("PTZ: Request AX_PTZ_CONTROL_QUEUE_DROP:");
            logQueueValues(queue_pos, time_to_pos_one, poll_time);
        } else {
            LOGINFO("PTZ: Error release in failure:");
            if (local_error_release_only != nullptr && local_error_release_only->message != nullptr)
                LOGINFO("PTZ: %s", local_error_release_only->message);
        }
        releaseError(&local_error_release_only);
    }
    if (local_error != nullptr && local_error->message != nullptr) {
        LOGINFO("PTZ: Error: Ended with errors:");
        LOGINFO("PTZ: %s", local_error->message);
    } else if (local_error != nullptr) {
        LOGINFO("PTZ: Error: Ended with no error message.");
    } else {
        LOGINFO("PTZ: Error: Unknown error.");
    }
    releaseError(&local_error);
    (void)ax_ptz_destroy(&local_error);
    releaseError(&local_error);
    releaseCapabilities();
    releaseStatus();
    if (retryWithStatus && !doJustStatus) {
        doJustStatus = TRUE;
        goto retry;
    }
    return failureResult;
}
