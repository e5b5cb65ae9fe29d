// Whether a login session may store an upload: the platform's session
// service on the bus decides.
#pragma once

#include <stddef.h>

constexpr size_t SESSION_ID_LEN = 32;	/* lower-case hex digits */

enum session_answer {
	SESSION_GRANTED,
	SESSION_DENIED,		// an unknown or expired session, or one without the right
	SESSION_NO_BUS,
	SESSION_NO_SERVICE,	// not on the bus, or hidden from this user by the bus ACL
	SESSION_NO_ANSWER,	// none within 2 s
	SESSION_NOT_ASKED,	// no process to ask in (errno says why)
};

// SESSION_GRANTED only when the service answers that session `sid`
// (SESSION_ID_LEN lower-case hex digits) has the right "write" on `object`
// in the scope "quil".
session_answer session_allows(const char *sid, const char *object);
