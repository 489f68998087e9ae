// Stand-in for the camera platform's PTZ library: a simulated PTZ head
// driven by a scenario file, with a journal of every call.

#include "axptz.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "scenario.h"

using namespace simcam;

struct _AXPTZControlQueueGroup {
    int unused;
};

namespace {

const char kJournal[] = "SIMCAM_PTZ_JOURNAL";

struct Head {
    Scenario scenario{"SIMCAM_PTZ_SCENARIO",
                      {"create", "group", "get", "drop", "goto", "moving", "caps", "status", "destroy",
                       "presets", "capabilities", "position", "queue"}};
    Outcomes create{scenario.get("create", "ok")};
    Outcomes group{scenario.get("group", "ok")};
    Outcomes get{scenario.get("get", "ok")};
    Outcomes drop{scenario.get("drop", "ok")};
    Outcomes go{scenario.get("goto", "ok")};
    Outcomes moving{scenario.get("moving", "moving, moving, still")};
    Outcomes caps{scenario.get("caps", "ok")};
    Outcomes status{scenario.get("status", "ok")};
    Outcomes destroy{scenario.get("destroy", "ok")};
    std::vector<std::string> presets = splitTrimmed(scenario.get("presets", "1, 2, 3, Home"), ',');
    std::vector<std::string> capabilities = splitTrimmed(
        scenario.get("capabilities", "AX_PTZ_MOVE_ABS_PAN|AX_PTZ_MOVE_ABS_TILT|AX_PTZ_MOVE_ABS_ZOOM"), '|');
    std::vector<std::string> position = splitTrimmed(scenario.get("position", "0, 0, 0"), ',');
    std::vector<std::string> queue = splitTrimmed(scenario.get("queue", "0, 0, 30"), ',');
    bool reported = false;
    AXPTZControlQueueGroup theGroup{};

    Head()
    {
        for (const char *key : {"create", "group", "get", "drop", "goto", "caps", "status", "destroy"})
            scenario.checkOutcomes(key, {"ok", "FAIL"});
        scenario.checkOutcomes("moving", {"moving", "still", "FAIL"});
    }
};

Head &head()
{
    static Head h;
    return h;
}

GQuark domain()
{
    return g_quark_from_static_string("simcam-ptz");
}

// Applies one outcome: false for a failure, with the error record it asks for.
bool apply(const Outcome &o, GError **error)
{
    switch (o.kind) {
    case Outcome::Ok:
    case Outcome::Other:
        return true;
    case Outcome::Fail:
        g_set_error_literal(error, domain(), 1, o.message.c_str());
        return false;
    case Outcome::FailNoMessage:
        if (error != nullptr && *error == nullptr) {
            *error = g_error_new_literal(domain(), 1, "");
            g_free((*error)->message);
            (*error)->message = nullptr;
        }
        return false;
    case Outcome::FailNoError:
        return false;
    }
    return false;
}

// An invalid scenario fails the first call, and says why once.
bool scenarioUsable(GError **error)
{
    Head &h = head();
    if (h.scenario.valid())
        return true;
    if (!h.reported) {
        fprintf(stderr, "simcam ptz: %s\n", h.scenario.error().c_str());
        h.reported = true;
    }
    g_set_error_literal(error, domain(), 2, h.scenario.error().c_str());
    return false;
}

bool step(Outcomes &seq, GError **error)
{
    if (!scenarioUsable(error))
        return false;
    return apply(parseOutcome(seq.take()), error);
}

int intAt(const std::vector<std::string> &v, size_t i, int fallback)
{
    return i < v.size() ? atoi(v[i].c_str()) : fallback;
}

bool gotoPreset(const std::string &preset, GError **error)
{
    Head &h = head();
    GError *outcome = nullptr;
    bool ok = step(h.go, &outcome);
    // A preset the head does not know fails the same way whatever the
    // scenario says of the call.
    if (h.scenario.valid() && std::find(h.presets.begin(), h.presets.end(), preset) == h.presets.end()) {
        g_clear_error(&outcome);
        g_set_error_literal(error, domain(), 1, "unknown preset");
        ok = false;
    } else if (outcome != nullptr) {
        g_propagate_error(error, outcome);
    }
    if (ok)
        h.moving.restart();
    return ok;
}

} // namespace

gboolean ax_ptz_create(GError **error)
{
    bool ok = step(head().create, error);
    JournalLine("ax_ptz_create").boolean("result", ok).write(kJournal);
    return ok;
}

gboolean ax_ptz_destroy(GError **error)
{
    bool ok = step(head().destroy, error);
    JournalLine("ax_ptz_destroy").boolean("result", ok).write(kJournal);
    return ok;
}

AXPTZControlQueueGroup *ax_ptz_control_queue_get_app_group_instance(GError **error)
{
    bool ok = step(head().group, error);
    JournalLine("ax_ptz_control_queue_get_app_group_instance").boolean("result", ok).write(kJournal);
    return ok ? &head().theGroup : nullptr;
}

gboolean ax_ptz_control_queue_request(AXPTZControlQueueGroup *, gint channel,
                                      AXPTZControlQueueRequest request, gint *queue_pos,
                                      gint *time_to_pos_one, gint *poll_time, GError **error)
{
    Head &h = head();
    bool isDrop = request == AX_PTZ_CONTROL_QUEUE_DROP;
    const char *kind = request == AX_PTZ_CONTROL_QUEUE_GET ? "GET" : isDrop ? "DROP" : "OTHER";
    bool ok = request == AX_PTZ_CONTROL_QUEUE_GET || isDrop ? step(isDrop ? h.drop : h.get, error) : false;
    int qp = intAt(h.queue, 0, 0), tt = intAt(h.queue, 1, 0), pt = intAt(h.queue, 2, 30);
    if (queue_pos != nullptr)
        *queue_pos = qp;
    if (time_to_pos_one != nullptr)
        *time_to_pos_one = tt;
    if (poll_time != nullptr)
        *poll_time = pt;
    JournalLine("ax_ptz_control_queue_request")
        .num("channel", channel).str("request", kind).boolean("result", ok)
        .num("queue_pos", qp).num("time_to_pos_one", tt).num("poll_time", pt)
        .write(kJournal);
    return ok;
}

GList *ax_ptz_movement_handler_get_move_capabilities(gint channel, GError **error)
{
    Head &h = head();
    bool ok = step(h.caps, error);
    GList *list = nullptr;
    JournalLine line("ax_ptz_movement_handler_get_move_capabilities");
    line.num("channel", channel).boolean("result", ok);
    if (ok) {
        for (const std::string &c : h.capabilities)
            list = g_list_append(list, g_strdup(c.c_str()));
        line.strings("capabilities", h.capabilities);
    }
    line.write(kJournal);
    return list;
}

gboolean ax_ptz_movement_handler_get_ptz_status(gint channel, AXPTZMovementPanTiltSpace pan_tilt_space,
                                                AXPTZMovementZoomSpace zoom_space,
                                                AXPTZStatus **status, GError **error)
{
    Head &h = head();
    bool ok = step(h.status, error);
    if (ok && status != nullptr) {
        AXPTZStatus *s = g_new0(AXPTZStatus, 1);
        s->pan_value = intAt(h.position, 0, 0);
        s->tilt_value = intAt(h.position, 1, 0);
        s->zoom_value = intAt(h.position, 2, 0);
        *status = s;
    }
    JournalLine("ax_ptz_movement_handler_get_ptz_status")
        .num("channel", channel).num("pan_tilt_space", pan_tilt_space).num("zoom_space", zoom_space)
        .boolean("result", ok).write(kJournal);
    return ok;
}

gboolean ax_ptz_movement_handler_is_ptz_moving(gint channel, gboolean *is_moving, GError **error)
{
    Head &h = head();
    bool ok = scenarioUsable(error);
    bool moving = false;
    if (ok) {
        Outcome o = parseOutcome(h.moving.take());
        ok = o.kind == Outcome::Other ? true : apply(o, error);
        moving = o.kind == Outcome::Other && o.word == "moving";
    }
    if (ok && is_moving != nullptr)
        *is_moving = moving ? TRUE : FALSE;
    JournalLine line("ax_ptz_movement_handler_is_ptz_moving");
    line.num("channel", channel).boolean("result", ok);
    if (ok)
        line.boolean("moving", moving);
    line.write(kJournal);
    return ok;
}

gboolean ax_ptz_preset_handler_goto_preset_number(AXPTZControlQueueGroup *, gint channel,
                                                  guint preset_number, fixed_t speed,
                                                  AXPTZPresetMovementSpace space,
                                                  AXPTZInvokeMode invoke, AXPTZCompletionCallback,
                                                  gpointer, GError **error)
{
    bool ok = gotoPreset(std::to_string(preset_number), error);
    JournalLine("ax_ptz_preset_handler_goto_preset_number")
        .num("channel", channel).num("number", preset_number).num("speed", speed)
        .num("space", space).num("invoke", invoke).boolean("result", ok).write(kJournal);
    return ok;
}

gboolean ax_ptz_preset_handler_goto_preset_name(AXPTZControlQueueGroup *, gint channel,
                                                const gchar *preset_name, fixed_t speed,
                                                AXPTZPresetMovementSpace space,
                                                AXPTZInvokeMode invoke, AXPTZCompletionCallback,
                                                gpointer, GError **error)
{
    std::string name = preset_name != nullptr ? preset_name : "";
    bool ok = gotoPreset(name, error);
    JournalLine("ax_ptz_preset_handler_goto_preset_name")
        .num("channel", channel).str("name", name).num("speed", speed)
        .num("space", space).num("invoke", invoke).boolean("result", ok).write(kJournal);
    return ok;
}
