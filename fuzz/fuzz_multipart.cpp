// libFuzzer harness over the multipart parser with the upload program's own
// callbacks: the input is a request body (boundary "B"), stored under a
// scratch directory.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int upload_main(void);

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	mkdir(FUZZ_UPLOAD_DIR, 0700);
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

	int saved = dup(STDIN_FILENO);
	dup2(fd, STDIN_FILENO);
	close(fd);
	upload_main();
	dup2(saved, STDIN_FILENO);
	close(saved);
	return 0;
}
