// A planned stop that loses nothing: the bridge stops taking reports, runs
// what it has taken, publishes all output and waits for the broker's
// acknowledgements, within a time limit.
#pragma once

// Runs the event loop again until the work is done, `limit_s` seconds have
// passed, or a second SIGTERM or SIGINT comes; what was left is logged, and
// running workers' process groups are killed.
void drain_run(int limit_s);
