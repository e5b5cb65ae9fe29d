// Detaching a daemon from its terminal.
#pragma once

// umask 0, fork, setsid, SIGHUP ignored, fork again. A failed fork is reported
// with perror ("fork error:\n") and the process carries on where it is.
void daemon_detach(void);
