// Detaching a daemon from its terminal.
#pragma once

// umask 0, fork, setsid, SIGHUP ignored, fork again, then standard input,
// output and error on /dev/null unless `keep_stdio` (a daemon that logs to
// standard error). A failed fork is reported with perror ("fork error:\n")
// and the process carries on where it is.
void daemon_detach(bool keep_stdio);
