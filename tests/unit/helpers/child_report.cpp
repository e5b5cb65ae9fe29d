// Started by the child tests: reports what it inherited, one item a line:
// its open descriptors, its file-creation mask, its ignored and blocked
// signals, and the variables named on its command line.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static void report_fds(void)
{
	DIR *d = opendir("/proc/self/fd");
	int own = d ? dirfd(d) : -1;
	int fds[64], n = 0;
	struct dirent *e;

	while (d && (e = readdir(d)) != NULL && n < 64) {
		int fd = atoi(e->d_name);
		if (e->d_name[0] != '.' && fd != own)
			fds[n++] = fd;
	}
	if (d)
		closedir(d);
	/* readdir gives them in ascending order on procfs */
	printf("fds");
	for (int i = 0; i < n; i++)
		printf(" %d", fds[i]);
	printf("\n");
}

static void report_signals(void)
{
	char line[256];
	FILE *f = fopen("/proc/self/status", "r");

	while (f && fgets(line, sizeof(line), f))
		if (!strncmp(line, "SigIgn:", 7) || !strncmp(line, "SigBlk:", 7))
			fputs(line, stdout);
	if (f)
		fclose(f);
}

int main(int argc, char **argv)
{
	report_fds();
	printf("umask %03o\n", (unsigned) umask(0));
	report_signals();
	for (int i = 1; i < argc; i++) {
		const char *v = getenv(argv[i]);
		printf("%s=%s\n", argv[i], v ? v : "(unset)");
	}
	return 0;
}
