// The upload CGI program, shared by both deliverables: request checks, the
// parser's callbacks and the reply live in upload.cpp. Each program (main.cpp,
// built once per target) supplies the three constants and a main that calls
// upload_run on its standard input; the fuzz harness supplies its own, and
// its own session_allows (session.h).
#pragma once

#include <stddef.h>
#include <sys/types.h>

extern const char UPLOAD_TARGET[];	/* where a finished upload is stored */
extern const size_t UPLOAD_LIMIT;	/* the largest accepted upload, in bytes */
extern const char UPLOAD_PROGRAM[];	/* the program's name: its object in the session ACL */

extern const char *parts[];		/* form field names, indexed by field */

// Handles one request whose body is read from in_fd; the reply, if any, goes
// to standard output. Returns the process's exit status (always 0).
int upload_run(int in_fd);

// Makes the target's folder a private one of user `uid` (mode 0700) whatever
// stands under its name; false when it cannot.
bool upload_make_folder(uid_t uid, gid_t gid);
