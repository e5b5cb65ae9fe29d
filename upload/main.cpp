// One upload program: its name, target and size limit come from the build.
#include "upload.h"

#include <unistd.h>

const char UPLOAD_TARGET[] = UPLOAD_TARGET_PATH;
const size_t UPLOAD_LIMIT = UPLOAD_LIMIT_BYTES;
const char UPLOAD_PROGRAM[] = UPLOAD_PROGRAM_NAME;

int main()
{
	return upload_run(STDIN_FILENO);
}
