// Strict JSON for what arrives over the network.
#pragma once

#include <json-c/json.h>

// The value of `text` when the whole text is one JSON value as RFC 8259 writes
// it (blanks around it allowed, nesting at most 16 deep); nullptr otherwise.
// json-c's tokener, even in its strict mode, takes single quotes, NaN and
// control characters inside strings, so the text is checked first.
json_object *strict_json_parse(const char *text);
