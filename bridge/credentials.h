// What quilac shows the broker and how it checks the broker: the session's
// user name and password, and TLS with the broker's certificate verified.
#pragma once

struct mosquitto;
struct bridge_options;

// Reads the password file and checks the TLS files the options name, then,
// with TLS, sets it up once on a client that never connects. On a refusal it
// says why on standard error and returns -1.
int credentials_load(const bridge_options *opts);
// True when the password came from a file (it is never logged then).
bool credentials_from_file(void);
// True when the link to the broker is TLS (-C given).
bool credentials_tls(void);
// Sets user name, password and TLS on a new client, before it connects;
// `default_password` serves when there is no password file; `host` is the
// broker as given (an address must then be an IP entry of its certificate).
// The result is libmosquitto's: a client that failed must not connect.
int credentials_apply(struct mosquitto *mosq, const char *default_password, const char *host);
// Why the last credentials_apply() failed, in words of ours ("tls file ...:
// not a regular file", "tls key cannot be loaded: ..."), or null when the
// library's result says it.
const char *credentials_failure(void);
// Wipes the password.
void credentials_clear(void);
