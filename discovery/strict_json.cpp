// A check of the JSON grammar before json-c parses the text. It only reads:
// json-c still builds the objects, and with JSON_TOKENER_STRICT it refuses
// what the check lets through and it would otherwise take (invalid UTF-8).
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

// At the opening quote; no control characters, only the escapes JSON knows.
bool string(const char *&p)
{
	for (p++;;) {
		unsigned char c = (unsigned char) *p++;
		if (c == '"')
			return true;
		if (c < 0x20)
			return false;	/* the text's end among them */
		if (c != '\\')
			continue;
		c = (unsigned char) *p++;
		if (c == 'u') {
			for (int i = 0; i < 4; i++)
				if (!is_hex(*p++))
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
	if (!value(p, 0))
		return false;
	skip_blanks(p);
	return *p == '\0';
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
	if (json_tokener_get_error(tok) != json_tokener_success) {
		json_object_put(obj);
		obj = nullptr;
	}
	json_tokener_free(tok);
	return obj;
}
