// Controller addresses for unicast requests. The file comes from a DHCP
// server's answer: it is read bounded and every word in it checked.
#include "controllers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <string.h>
#include <unistd.h>

namespace {

// What separates the addresses in a list.
constexpr const char *BLANKS = " \t\r\n";

bool listed(const controller_list *l, in_addr a)
{
	for (size_t i = 0; i < l->count; i++)
		if (l->addr[i].s_addr == a.s_addr)
			return true;
	return false;
}

} // namespace

bool disc_is_host_address(const char *text, in_addr *out)
{
	in_addr a;
	char canonical[INET_ADDRSTRLEN];
	if (strlen(text) >= sizeof(canonical) || inet_pton(AF_INET, text, &a) != 1 ||
	    !inet_ntop(AF_INET, &a, canonical, sizeof(canonical)) || strcmp(text, canonical))
		return false;
	uint8_t first = (uint8_t) (ntohl(a.s_addr) >> 24);
	if (first == 0 || first == 127 || first >= 224)
		return false;
	*out = a;
	return true;
}

bool controllers_add(controller_list *l, const char *text)
{
	in_addr a;
	if (!disc_is_host_address(text, &a))
		return false;
	if (listed(l, a))
		return true;
	if (l->count < DISC_MAX_CONTROLLERS)
		l->addr[l->count++] = a;
	return true;
}

bool controllers_has(const controller_list *l, const char *text)
{
	in_addr a;
	return disc_is_host_address(text, &a) && listed(l, a);
}

void controllers_parse(controller_list *l, const char *text)
{
	char word[INET_ADDRSTRLEN];
	for (const char *p = text + strspn(text, BLANKS); *p; p += strspn(p, BLANKS)) {
		size_t n = strcspn(p, BLANKS);
		if (n < sizeof(word)) {
			memcpy(word, p, n);
			word[n] = '\0';
			controllers_add(l, word);
		}
		p += n;
	}
}

void controllers_read(controller_list *l, const char *path)
{
	/* the DHCP hook renames a regular file into place: nothing else is read */
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
	if (fd < 0)
		return;
	char buf[DISC_CONTROLLERS_FILE_MAX + 1];
	struct stat st;
	ssize_t n = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ?
		read(fd, buf, DISC_CONTROLLERS_FILE_MAX) : -1;
	close(fd);
	if (n <= 0)
		return;
	/* a word cut at the limit might still read as another address */
	if (n == (ssize_t) DISC_CONTROLLERS_FILE_MAX)
		while (n > 0 && !strchr(BLANKS, buf[n - 1]))
			n--;
	buf[n] = '\0';
	controllers_parse(l, buf);
}
