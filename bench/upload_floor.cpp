// The no-parse floor for an upload: standard input read in 4096-byte pieces
// (as the upload programs read it), written in 64 KiB blocks into an unnamed
// file in the target's directory, which then becomes the target (argv[1]) by
// a link and a rename. Any upload does at least this.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc != 2 || !strrchr(argv[1], '/'))
		return 2;
	char dir[4096];
	snprintf(dir, sizeof(dir), "%.*s", (int) (strrchr(argv[1], '/') - argv[1]), argv[1]);
	int fd = open(dir, O_TMPFILE | O_WRONLY, 0600);
	if (fd < 0)
		return 1;

	static char block[64 * 1024];
	size_t used = 0;
	ssize_t n;
	while ((n = read(0, block + used, 4096)) > 0) {
		used += (size_t) n;
		if (used + 4096 > sizeof(block)) {
			if (write(fd, block, used) != (ssize_t) used)
				return 1;
			used = 0;
		}
	}
	if (used && write(fd, block, used) != (ssize_t) used)
		return 1;

	char link[4096 + 16];
	snprintf(link, sizeof(link), "%s.floor", argv[1]);
	unlink(link);
	if (linkat(fd, "", AT_FDCWD, link, AT_EMPTY_PATH) < 0 || rename(link, argv[1]) < 0)
		return 1;
	close(fd);
	return 0;
}
