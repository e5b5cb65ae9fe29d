// The multipart state machine. Header names, values and part content are
// "runs" that start at a mark and are delivered when they end, or, when the
// buffer ends inside one, up to and including its last byte.
//
// What RFC 2046 and 7578 allow is taken: a preamble before the first
// delimiter, transport padding (spaces, tabs) after a delimiter, header names
// of any token characters. A delimiter inside content must go on with
// padding and CR LF, or "--": anything else is a syntax error, so a part only
// ends once the line that ends it has proved sound. A header line without a
// colon is one too: taken as the blank line, it would make the rest of the
// headers content.
#include "multipart.h"

#include <stdlib.h>
#include <string.h>

namespace {

constexpr char CR = '\r';
constexpr char LF = '\n';

// Not in a header value (RFC 7230 allows a tab, visible characters and
// bytes above 0x7f besides the space).
bool is_control_char(unsigned char c)
{
	return (c < 0x20 && c != '\t') || c == 0x7f;
}

// A header name is an RFC 7230 token: letters, digits and !#$%&'*+-.^_`|~
bool is_token_char(unsigned char c)
{
	if ((c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'))
		return true;
	return c && strchr("!#$%&'*+-.^_`|~", c);
}

bool is_padding(char c)
{
	return c == ' ' || c == '\t';
}

int notify(mp_parser *p, mp_notify_cb cb)
{
	return cb ? cb(p) : 0;
}

int deliver(mp_parser *p, mp_data_cb cb, const char *data, size_t len)
{
	return cb ? cb(p, data, len) : 0;
}

} // namespace

struct mp_parser *mp_create(const char *boundary, const struct mp_callbacks *callbacks)
{
	size_t blen = strlen(boundary);
	// The delimiter and its NUL (blen + 1), then the hold-back buffer, which
	// needs blen + 2 (CR, LF, the delimiter); the size leaves it some more.
	mp_parser *p = (mp_parser *) malloc(sizeof(mp_parser) + 2 * blen + 9);
	if (!p)
		return nullptr;

	memcpy(p->boundary, boundary, blen + 1);
	p->boundary_len = blen;
	p->match_pos = 0;
	p->state = MP_START;
	p->callbacks = callbacks;
	p->holdback = p->boundary + blen + 1;
	p->user_data = nullptr;
	return p;
}

void mp_free(struct mp_parser *p)
{
	free(p);
}

void mp_set_user_data(struct mp_parser *p, void *data)
{
	p->user_data = data;
}

void *mp_get_user_data(struct mp_parser *p)
{
	return p->user_data;
}

// A callback that asks to stop ends parsing at the byte being handled.
#define CALL(expr)			\
	do {				\
		if ((expr) != 0)	\
			return i;	\
	} while (0)

size_t mp_execute(struct mp_parser *p, const char *buf, size_t len)
{
	const mp_callbacks *cb = p->callbacks;
	const size_t blen = p->boundary_len;
	size_t mark = 0;

	if (p->state < MP_START || p->state > MP_DELIM_PADDING)
		return 0;

	for (size_t i = 0; i < len; i++) {
		const char c = buf[i];
		const bool last = i == len - 1;

	again:	/* the same byte, handled in the state just entered */
		switch (p->state) {
		case MP_START:
			p->match_pos = 0;
			p->state = MP_FIRST_DELIM;
			goto again;

		case MP_FIRST_DELIM:
			if (p->match_pos < blen) {
				if (c != p->boundary[p->match_pos]) {
					p->state = MP_PREAMBLE;	/* the delimiter follows a CR LF then */
					goto again;
				}
				p->match_pos++;
			} else if (p->match_pos == blen) {
				if (c == CR)
					p->match_pos++;
				else if (!is_padding(c))
					return i;
			} else {
				if (c != LF)
					return i;
				p->match_pos = 0;
				CALL(notify(p, cb->on_part_begin));
				p->state = MP_NAME_START;
			}
			break;

		case MP_PREAMBLE: {
			if (c == CR) {
				p->state = MP_PREAMBLE_CR;
				break;
			}
			const char *cr = (const char *) memchr(buf + i, CR, len - i);
			i = cr ? (size_t) (cr - buf) - 1 : len - 1;
			break;
		}

		case MP_PREAMBLE_CR:
			if (c != LF) {
				p->state = MP_PREAMBLE;
				goto again;
			}
			p->match_pos = 0;
			p->state = MP_PREAMBLE_DELIM;
			break;

		case MP_PREAMBLE_DELIM:
			if (c != p->boundary[p->match_pos]) {
				p->state = MP_PREAMBLE;
				goto again;
			}
			if (++p->match_pos == blen)
				p->state = MP_FIRST_DELIM;	/* its padding and CR LF follow */
			break;

		case MP_NAME_START:
			if (c == CR) {
				p->state = MP_HEADERS_LF;	/* the blank line */
				break;
			}
			if (!is_token_char((unsigned char) c))
				return i;	/* no name before the colon */
			mark = i;
			p->state = MP_NAME;
			goto again;

		case MP_NAME:
			if (c == ':') {
				CALL(deliver(p, cb->on_name, buf + mark, i - mark));
				p->state = MP_VALUE_START;
			} else if (is_token_char((unsigned char) c)) {
				if (last)
					CALL(deliver(p, cb->on_name, buf + mark, i + 1 - mark));
			} else {
				return i;
			}
			break;

		case MP_HEADERS_LF:
			if (c != LF)
				return i;
			p->state = MP_DATA_START;
			break;

		case MP_VALUE_START:
			if (c == ' ')
				break;
			mark = i;
			p->state = MP_VALUE;
			goto again;

		case MP_VALUE:
			if (c == CR) {
				CALL(deliver(p, cb->on_value, buf + mark, i - mark));
				p->state = MP_VALUE_LF;
			} else if (is_control_char((unsigned char) c)) {
				return i;	/* a bare LF would end the line for some readers only */
			} else if (last) {
				CALL(deliver(p, cb->on_value, buf + mark, i + 1 - mark));
			}
			break;

		case MP_VALUE_LF:
			if (c != LF)
				return i;
			p->state = MP_NAME_START;
			break;

		case MP_DATA_START:
			CALL(notify(p, cb->on_headers_done));
			mark = i;
			p->state = MP_DATA;
			goto again;

		case MP_DATA: {
			if (c == CR) {
				CALL(deliver(p, cb->on_data, buf + mark, i - mark));
				p->holdback[0] = CR;
				mark = i;
				p->state = MP_DATA_CR;
				break;
			}
			/* Content is only interesting at a CR: jump to the next one, or
			 * deliver the run up to the buffer's end when there is none. */
			const char *cr = (const char *) memchr(buf + i, CR, len - i);
			if (cr) {
				i = (size_t) (cr - buf) - 1;	/* the loop's i++ lands on the CR */
				break;
			}
			i = len - 1;
			CALL(deliver(p, cb->on_data, buf + mark, len - mark));
			break;
		}

		case MP_DATA_CR:
			if (c == LF) {
				p->holdback[1] = LF;
				p->match_pos = 0;
				p->state = MP_DELIM;
				break;
			}
			CALL(deliver(p, cb->on_data, p->holdback, 1));
			mark = i;
			p->state = MP_DATA;
			goto again;

		case MP_DELIM:
			if (c == p->boundary[p->match_pos]) {
				p->holdback[p->match_pos + 2] = c;
				if (++p->match_pos == blen)
					p->state = MP_AFTER_DELIM;	/* the part ends with a sound line */
				break;
			}
			/* Not a delimiter after all: the held bytes were content. */
			CALL(deliver(p, cb->on_data, p->holdback, p->match_pos + 2));
			mark = i;
			p->state = MP_DATA;
			goto again;

		case MP_AFTER_DELIM:
			if (c == '-')
				p->state = MP_FINAL_HYPHEN;
			else if (c == CR)
				p->state = MP_DELIM_LF;
			else if (is_padding(c))
				p->state = MP_DELIM_PADDING;
			else
				return i;
			break;

		case MP_DELIM_PADDING:
			if (c == CR)
				p->state = MP_DELIM_LF;
			else if (!is_padding(c))
				return i;
			break;

		case MP_DELIM_LF:
			if (c != LF)
				return i;
			p->state = MP_NAME_START;
			CALL(notify(p, cb->on_part_end));
			CALL(notify(p, cb->on_part_begin));
			break;

		case MP_FINAL_HYPHEN:
			if (c != '-')
				return i;
			CALL(notify(p, cb->on_part_end));
			CALL(notify(p, cb->on_final_delim));
			p->state = MP_DONE;
			break;

		case MP_DONE:
			return len;	/* an epilogue is consumed unexamined */
		}
	}
	return len;
}

#undef CALL
