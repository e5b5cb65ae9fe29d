// LD_PRELOAD shim for the upload tests: makes the copy from the temporary file
// fail the way a failing disk would. QUIL_FAULT selects the fault:
//   copy-eio  the in-kernel copy fails with EIO;
//   read-eio  the in-kernel copy is unavailable and reading the temporary
//             file fails with EIO (standard input still reads normally).
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

bool fault(const char *name)
{
	const char *f = getenv("QUIL_FAULT");
	return f && !strcmp(f, name);
}

} // namespace

extern "C" ssize_t copy_file_range(int, off64_t *, int, off64_t *, size_t, unsigned int)
{
	errno = fault("copy-eio") ? EIO : ENOSYS;
	return -1;
}

extern "C" ssize_t read(int fd, void *buf, size_t len)
{
	using read_fn = ssize_t (*)(int, void *, size_t);
	static read_fn real = (read_fn) dlsym(RTLD_NEXT, "read");
	if (fd != STDIN_FILENO && fault("read-eio")) {
		errno = EIO;
		return -1;
	}
	return real(fd, buf, len);
}
