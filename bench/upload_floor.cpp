// The no-parse floor for an upload: read standard input in 4096-byte pieces
// into an unlinked temporary file, then copy it to the target (argv[1]).
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc != 2)
		return 2;
	char path[] = "/tmp/floor.XXXXXX";
	int tmp = mkstemp(path);
	if (tmp < 0)
		return 1;
	unlink(path);

	char buf[4096];
	ssize_t n;
	while ((n = read(0, buf, sizeof(buf))) > 0)
		if (write(tmp, buf, n) != n)
			return 1;

	int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0600);
	if (out < 0 || lseek(tmp, 0, SEEK_SET) < 0)
		return 1;
	while ((n = read(tmp, buf, sizeof(buf))) > 0)
		if (write(out, buf, n) != n)
			return 1;
	close(out);
	close(tmp);
	return 0;
}
