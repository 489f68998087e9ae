#pragma once

// The camera platform's PTZ library: the PTZ control queue, the movement
// handler and the preset handler.

#include <glib.h>

G_BEGIN_DECLS

// Signed 16.16 fixed point.
typedef gint32 fixed_t;

typedef struct _AXPTZControlQueueGroup AXPTZControlQueueGroup;

typedef enum {
    AX_PTZ_CONTROL_QUEUE_GET = 0,
    AX_PTZ_CONTROL_QUEUE_GET_TAKE_EQUAL_PRIORITY = 1,
    AX_PTZ_CONTROL_QUEUE_DROP = 2,
    AX_PTZ_CONTROL_QUEUE_QUERY_STATUS = 3
} AXPTZControlQueueRequest;

typedef enum { AX_PTZ_PRESET_MOVEMENT_UNITLESS = 0 } AXPTZPresetMovementSpace;
typedef enum { AX_PTZ_INVOKE_ASYNC = 0, AX_PTZ_INVOKE_SYNC = 1 } AXPTZInvokeMode;
typedef enum { AX_PTZ_MOVEMENT_PAN_TILT_UNITLESS = 0 } AXPTZMovementPanTiltSpace;
typedef enum { AX_PTZ_MOVEMENT_ZOOM_UNITLESS = 0 } AXPTZMovementZoomSpace;

// Owned by the caller; released with g_free.
typedef struct {
    fixed_t pan_value;
    fixed_t tilt_value;
    fixed_t zoom_value;
} AXPTZStatus;

typedef void (*AXPTZCompletionCallback)(gpointer user_data);

gboolean ax_ptz_create(GError **error);
gboolean ax_ptz_destroy(GError **error);

AXPTZControlQueueGroup *ax_ptz_control_queue_get_app_group_instance(GError **error);
gboolean ax_ptz_control_queue_request(AXPTZControlQueueGroup *group, gint channel,
                                      AXPTZControlQueueRequest request, gint *queue_pos,
                                      gint *time_to_pos_one, gint *poll_time, GError **error);

// A new list of capability names (strings released with g_free, then the
// list with g_list_free), or null.
GList *ax_ptz_movement_handler_get_move_capabilities(gint channel, GError **error);
gboolean ax_ptz_movement_handler_get_ptz_status(gint channel, AXPTZMovementPanTiltSpace pan_tilt_space,
                                                AXPTZMovementZoomSpace zoom_space,
                                                AXPTZStatus **status, GError **error);
gboolean ax_ptz_movement_handler_is_ptz_moving(gint channel, gboolean *is_moving, GError **error);

gboolean ax_ptz_preset_handler_goto_preset_number(AXPTZControlQueueGroup *group, gint channel,
                                                  guint preset_number, fixed_t speed,
                                                  AXPTZPresetMovementSpace space,
                                                  AXPTZInvokeMode invoke,
                                                  AXPTZCompletionCallback callback,
                                                  gpointer user_data, GError **error);
gboolean ax_ptz_preset_handler_goto_preset_name(AXPTZControlQueueGroup *group, gint channel,
                                                const gchar *preset_name, fixed_t speed,
                                                AXPTZPresetMovementSpace space,
                                                AXPTZInvokeMode invoke,
                                                AXPTZCompletionCallback callback,
                                                gpointer user_data, GError **error);

G_END_DECLS
