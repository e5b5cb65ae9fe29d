// A check of the JSON grammar before json-c parses the text. It only reads:
// json-c still builds the objects, and with JSON_TOKENER_STRICT it refuses
// what the check lets through and it would otherwise take (invalid UTF-8).
// The check counts the members it read: json-c keeps one of a name given
// twice (the last), so fewer in its objects means a name came twice, and
// which of two values counts is then up to the parser.
#include "strict_json.h"

#include <string.h>

namespace {

constexpr int MAX_DEPTH = 16;	/* json-c's own limit is 32: it never refuses first */

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

bool is_hex(char c)
{
	return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void skip_blanks(const char *&p)
{
	while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')
		p++;
}

bool digits(const char *&p)
{
	if (!is_digit(*p))
		return false;
	while (is_digit(*p))
		p++;
	return true;
}

// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool number(const char *&p)
{
	if (*p == '-')
		p++;
	if (*p == '0')
		p++;
	else if (!digits(p))
		return false;
	if (*p == '.' && !digits(++p))
		return false;
	if (*p == 'e' || *p == 'E') {
		p++;
		if (*p == '+' || *p == '-')
			p++;
		if (!digits(p))
			return false;
	}
	return true;
}

// One UTF-8 character whose lead byte `c` (>= 0x80) was taken: the shortest
// form only, no UTF-16 surrogates, nothing past U+10FFFF.
bool utf8_rest(unsigned char c, const char *&p)
{
	unsigned char lo = 0x80, hi = 0xbf;
	int more;
	if (c >= 0xc2 && c <= 0xdf)
		more = 1;
	else if (c >= 0xe0 && c <= 0xef)
		more = 2;
	else if (c >= 0xf0 && c <= 0xf4)
		more = 3;
	else
		return false;	/* a continuation byte, or 0xc0/0xc1/0xf5.. (always overlong or too high) */
	if (c == 0xe0)
		lo = 0xa0;	/* overlong below */
	else if (c == 0xed)
		hi = 0x9f;	/* surrogates above */
	else if (c == 0xf0)
		lo = 0x90;
	else if (c == 0xf4)
		hi = 0x8f;	/* past U+10FFFF above */
	for (int i = 0; i < more; i++, lo = 0x80, hi = 0xbf) {
		unsigned char b = (unsigned char) *p++;
		if (b < lo || b > hi)
			return false;
	}
	return true;
}

// The four hex digits after "\u".
bool hex4(const char *&p, unsigned *out)
{
	unsigned v = 0;
	for (int i = 0; i < 4; i++) {
		char c = *p++;
		if (!is_hex(c))
			return false;
		v = v * 16 + (unsigned) (is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10);
	}
	*out = v;
	return true;
}

// After "\u": no U+0000 (json-c would cut a member's name there, and C code
// any text), and a surrogate only as a high one followed by a low one.
bool unicode_escape(const char *&p)
{
	unsigned u;
	if (!hex4(p, &u) || u == 0 || (u >= 0xdc00 && u <= 0xdfff))
		return false;
	if (u < 0xd800 || u > 0xdbff)
		return true;
	unsigned low;
	return p[0] == '\\' && p[1] == 'u' && (p += 2, hex4(p, &low)) && low >= 0xdc00 && low <= 0xdfff;
}

// At the opening quote; no control characters, only the escapes JSON knows,
// well-formed UTF-8.
bool string(const char *&p)
{
	for (p++;;) {
		unsigned char c = (unsigned char) *p++;
		if (c == '"')
			return true;
		if (c < 0x20)
			return false;	/* the text's end among them */
		if (c >= 0x80) {
			if (!utf8_rest(c, p))
				return false;
			continue;
		}
		if (c != '\\')
			continue;
		c = (unsigned char) *p++;
		if (c == 'u') {
			if (!unicode_escape(p))
				return false;
		} else if (!c || !strchr("\"\\/bfnrt", c)) {
			return false;
		}
	}
}

bool word(const char *&p, const char *w)
{
	size_t n = strlen(w);
	if (strncmp(p, w, n))
		return false;
	p += n;
	return true;
}

size_t members;	/* of every object the check has read */

bool value(const char *&p, int depth);

// At "{" or "[": members or elements, separated by commas, no trailing one.
bool container(const char *&p, int depth)
{
	const char close = *p == '{' ? '}' : ']';
	p++;
	skip_blanks(p);
	if (*p == close) {
		p++;
		return true;
	}
	for (;;) {
		if (close == '}') {
			skip_blanks(p);
			if (*p != '"' || !string(p))
				return false;
			skip_blanks(p);
			if (*p++ != ':')
				return false;
			members++;
		}
		if (!value(p, depth))
			return false;
		skip_blanks(p);
		if (*p == close) {
			p++;
			return true;
		}
		if (*p++ != ',')
			return false;
	}
}

bool value(const char *&p, int depth)
{
	skip_blanks(p);
	switch (*p) {
	case '{':
	case '[':
		return depth < MAX_DEPTH && container(p, depth + 1);
	case '"':
		return string(p);
	case 't':
		return word(p, "true");
	case 'f':
		return word(p, "false");
	case 'n':
		return word(p, "null");
	default:
		return number(p);
	}
}

bool is_strict_json(const char *text)
{
	const char *p = text;
	members = 0;
	if (!value(p, 0))
		return false;
	skip_blanks(p);
	return *p == '\0';
}

// The members of every object in `obj`, as json-c keeps them.
size_t kept_members(json_object *obj)
{
	size_t n = 0;
	if (json_object_is_type(obj, json_type_object)) {
		json_object_object_foreach(obj, name, member) {
			(void) name;
			n += 1 + kept_members(member);
		}
	} else if (json_object_is_type(obj, json_type_array)) {
		for (size_t i = 0; i < json_object_array_length(obj); i++)
			n += kept_members(json_object_array_get_idx(obj, i));
	}
	return n;
}

} // namespace

json_object *strict_json_parse(const char *text)
{
	if (!is_strict_json(text))
		return nullptr;
	json_tokener *tok = json_tokener_new();
	if (!tok)
		return nullptr;
	int flags = JSON_TOKENER_STRICT;
#ifdef JSON_TOKENER_VALIDATE_UTF8
	flags |= JSON_TOKENER_VALIDATE_UTF8;
#endif
	json_tokener_set_flags(tok, flags);
	json_object *obj = json_tokener_parse_ex(tok, text, (int) strlen(text));
	if (json_tokener_get_error(tok) != json_tokener_success || kept_members(obj) != members) {
		json_object_put(obj);
		obj = nullptr;
	}
	json_tokener_free(tok);
	return obj;
}
