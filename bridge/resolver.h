// The broker's host name, resolved in a child process: a resolver that never
// answers holds that child, never the event loop.
#pragma once

// The child is killed after this long, and the attempt fails.
constexpr int RESOLVE_LIMIT_MS = 10000;

// Called once per resolver_start(): the first address as text, or nullptr
// and why there is none.
using resolve_done = void (*)(const char *address, const char *error);

// True for a numeric IPv4 or IPv6 address (it needs no resolver).
bool host_is_address(const char *host);
// 0 once the child runs (`done` is called later), -1 with errno when none
// could be started.
int resolver_start(const char *host, resolve_done done);
// Forgets a resolution under way; its child is killed and `done` not called.
void resolver_cancel(void);
