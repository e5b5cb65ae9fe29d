// libFuzzer harness over the upload program itself: the input is a request
// body (boundary "B"), stored under a scratch directory. Every well-formed
// session id is let through, so that the file's road is fuzzed too.
#include "session.h"
#include "upload.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

const char UPLOAD_TARGET[] = "/tmp/quil-fuzz-upload/target.bin";
const size_t UPLOAD_LIMIT = 1 << 20;
const char UPLOAD_PROGRAM[] = "upload-fuzz";

session_answer session_allows(const char *, const char *)
{
	return SESSION_GRANTED;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	if (!freopen("/dev/null", "w", stdout))
		return 1;
	setenv("CONTENT_TYPE", "multipart/form-data; boundary=B", 1);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	int fd = memfd_create("body", MFD_CLOEXEC);
	if (fd < 0)
		return 0;
	if (size && write(fd, data, size) != (ssize_t) size) {
		close(fd);
		return 0;
	}
	lseek(fd, 0, SEEK_SET);
	upload_run(fd);
	close(fd);
	return 0;
}
