// One upload program: its name, target and size limit come from the build.
#include "upload.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

const char UPLOAD_TARGET[] = UPLOAD_TARGET_PATH;
const size_t UPLOAD_LIMIT = UPLOAD_LIMIT_BYTES;
const char UPLOAD_PROGRAM[] = UPLOAD_PROGRAM_NAME;

// Run by the boot script with MAKE_FOLDER_ARG, outside any web server (a
// server's CGI request always sets GATEWAY_INTERFACE).
constexpr const char *MAKE_FOLDER_ARG = "--make-folder";

int main(int argc, char **argv)
{
	if (argc == 2 && !strcmp(argv[1], MAKE_FOLDER_ARG) && !getenv("GATEWAY_INTERFACE")) {
		if (upload_make_folder())
			return 0;
		fprintf(stderr, "%s: cannot make the folder of %s a private one\n", UPLOAD_PROGRAM,
			UPLOAD_TARGET);
		return 1;
	}
	return upload_run(STDIN_FILENO);
}
