// One upload program: its name, target and size limit come from the build.
#include "upload.h"

#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

const char UPLOAD_TARGET[] = UPLOAD_TARGET_PATH;
const size_t UPLOAD_LIMIT = UPLOAD_LIMIT_BYTES;
const char UPLOAD_PROGRAM[] = UPLOAD_PROGRAM_NAME;

// Run by the boot script with MAKE_FOLDER_ARG and the user the web server
// runs CGI programs as (root when left out), outside any web server (a
// server's CGI request always sets GATEWAY_INTERFACE).
constexpr const char *MAKE_FOLDER_ARG = "--make-folder";

static int make_folder(const char *user)
{
	const struct passwd *pw = getpwnam(user);
	if (!pw) {
		fprintf(stderr, "%s: cannot make the folder of %s: no user %s\n", UPLOAD_PROGRAM,
			UPLOAD_TARGET, user);
		return 1;
	}
	if (upload_make_folder(pw->pw_uid, pw->pw_gid))
		return 0;
	fprintf(stderr, "%s: cannot make the folder of %s a private one of %s\n", UPLOAD_PROGRAM,
		UPLOAD_TARGET, user);
	return 1;
}

int main(int argc, char **argv)
{
	if ((argc == 2 || argc == 3) && !strcmp(argv[1], MAKE_FOLDER_ARG) && !getenv("GATEWAY_INTERFACE"))
		return make_folder(argc == 3 ? argv[2] : "root");
	return upload_run(STDIN_FILENO);
}
