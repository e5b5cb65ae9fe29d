// Streaming multipart/form-data parser: one allocation, no copies of the body
// except the few bytes held back while a CR LF might start a delimiter.
#pragma once

#include <stddef.h>

struct mp_parser;

// Every callback returns 0 to go on; anything else stops mp_execute. Data is
// not NUL-terminated and valid only during the call; len may be 0.
// on_part_end comes once the delimiter line after a part has proved sound:
// at the LF that ends it, or at the second hyphen of the closing one.
typedef int (*mp_data_cb)(struct mp_parser *p, const char *data, size_t len);
typedef int (*mp_notify_cb)(struct mp_parser *p);

struct mp_callbacks {
	mp_data_cb on_name;
	mp_data_cb on_value;
	mp_data_cb on_data;
	mp_notify_cb on_part_begin;
	mp_notify_cb on_headers_done;
	mp_notify_cb on_part_end;
	mp_notify_cb on_final_delim;
};

enum mp_state {
	MP_START = 2,
	MP_FIRST_DELIM,
	MP_NAME_START,
	MP_NAME,
	MP_HEADERS_LF,
	MP_VALUE_START,
	MP_VALUE,
	MP_VALUE_LF,
	MP_DATA_START,
	MP_DATA,
	MP_DATA_CR,
	MP_DELIM,
	MP_AFTER_DELIM,
	MP_DELIM_LF,
	MP_FINAL_HYPHEN,
	MP_DONE,
	// Added after MP_DONE, so the states above keep their numbers. The last
	// one bounds the range mp_execute accepts.
	MP_PREAMBLE,		/* before the first delimiter: looking for CR LF */
	MP_PREAMBLE_CR,
	MP_PREAMBLE_DELIM,	/* CR LF seen, matching the delimiter */
	MP_DELIM_PADDING,	/* spaces or tabs after a delimiter, before its CR LF */
};

struct mp_parser {
	void *user_data;
	size_t match_pos;
	size_t boundary_len;
	unsigned char state;
	const struct mp_callbacks *callbacks;
	char *holdback;
	char boundary[];	/* the delimiter, its NUL, then the hold-back buffer */
};

// `boundary` is the whole delimiter ("--" and the boundary parameter).
struct mp_parser *mp_create(const char *boundary, const struct mp_callbacks *callbacks);
void mp_free(struct mp_parser *p);
// Returns len when every byte was taken, else the index of the byte at which
// parsing stopped (a syntax error, or a callback that returned non-zero).
size_t mp_execute(struct mp_parser *p, const char *buf, size_t len);
void mp_set_user_data(struct mp_parser *p, void *data);
void *mp_get_user_data(struct mp_parser *p);
