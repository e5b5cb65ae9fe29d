// Whether a login session may store an upload: the platform's session
// service on the bus decides.
#pragma once

#include <stddef.h>

constexpr size_t SESSION_ID_LEN = 32;	/* lower-case hex digits */

// True only when the service answers that session `sid` (SESSION_ID_LEN
// lower-case hex digits) has the right "write" on `object` in the scope
// "quil". No bus, no service, an unknown or expired session, or no answer
// within 2 s: false.
bool session_allows(const char *sid, const char *object);
