// Test stand-in for the API program: appends its argument vector, argv[0]
// included, to $QUIL_ARGS_LOG (one argument per line, records separated by an
// empty line), then prints a reply topic and one line.
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
	const char *log = getenv("QUIL_ARGS_LOG");
	FILE *f = log ? fopen(log, "a") : nullptr;

	if (f) {
		for (int i = 0; i < argc; i++)
			fprintf(f, "%s\n", argv[i]);
		fprintf(f, "\n");
		fclose(f);
	}
	printf("reply/args\nrecorded\n");
	return 0;
}
