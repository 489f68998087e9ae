#pragma once

// The camera platform's capture library: media streams and their frames.

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _media_stream media_stream;
typedef struct _media_frame media_frame;

// A stream of the media type with the given properties ("key=value" pairs
// joined by '&'), or null when none can be opened.
media_stream *capture_open_stream(const char *media_type, const char *media_props);
// The next frame (released with capture_frame_free), or null.
media_frame *capture_get_frame(media_stream *stream);
size_t capture_frame_size(media_frame *frame);
// The frame's bytes, valid until the frame is freed.
void *capture_frame_data(media_frame *frame);
void capture_frame_free(media_frame *frame);
void capture_close_stream(media_stream *stream);

#ifdef __cplusplus
}
#endif
