// The client registry, an AVL tree of entries that own their info texts.
// Keys are the first 12 bytes of the id, zero-padded to 13, compared whole:
// ids that share 12 characters are one client, and the listing is in
// unsigned byte order of the keys.
#include "registry.h"
#include "log.h"

extern "C" {
#include <libubox/avl.h>
#include <libubox/blobmsg.h>
}
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

struct client_key {
	char bytes[CLIENT_KEY_LEN];
};

struct client_entry {
	avl_node node;
	client_key key;
	int32_t online;
	char *info;
};

avl_tree clients;

int key_cmp(const void *k1, const void *k2, void *)
{
	return memcmp(k1, k2, CLIENT_KEY_LEN);
}

client_key key_of(const char *id)
{
	client_key k = {};
	memcpy(k.bytes, id, strnlen(id, CLIENT_KEY_LEN - 1));
	return k;
}

client_entry *find(const char *id)
{
	client_key k = key_of(id);
	client_entry *e;
	return avl_find_element(&clients, &k, e, node);
}

void release(client_entry *e)
{
	free(e->info);
	free(e);
}

// A failed open leaves no nest to close: closing one with the null cookie
// would write far outside the buffer.
int add_entry(blob_buf *buf, const client_entry *e, uint32_t index)
{
	char id[CLIENT_KEY_LEN];
	memcpy(id, e->key.bytes, CLIENT_KEY_LEN);	/* the 13th byte is always zero */

	void *table = blobmsg_open_table(buf, "client");
	if (!table || blobmsg_add_u32(buf, "index", index) < 0 ||
	    blobmsg_add_string(buf, "id", id) < 0 ||
	    blobmsg_add_u32(buf, "online", (uint32_t) e->online) < 0 ||
	    (e->info && blobmsg_add_string(buf, "info", e->info) < 0))
		return -1;
	blobmsg_close_table(buf, table);
	return 0;
}

} // namespace

void client_init(void)
{
	avl_init(&clients, key_cmp, false, nullptr);
}

namespace {

// The entry of `id`, made when there is none (online: now, or `online` when
// given); nullptr when it cannot be made.
client_entry *upsert(const char *id, const int32_t *online)
{
	client_entry *e = find(id);
	if (e) {
		log_msg(4, "client update %s", id);
		free(e->info);
		e->info = nullptr;
		if (online)
			e->online = *online;
		return e;
	}

	log_msg(4, "client add %s", id);
	e = (client_entry *) calloc(1, sizeof(*e));
	if (!e) {
		log_msg(2, "no memory to add to clients tree(%s)", id);
		return nullptr;
	}
	e->key = key_of(id);
	e->online = online ? *online : (int32_t) time(nullptr);
	e->node.key = &e->key;
	if (avl_insert(&clients, &e->node)) {
		release(e);
		log_msg(4, "insert to clients tree(%s) failed", id);
		return nullptr;
	}
	return e;
}

} // namespace

void client_update(const char *id, const char *info)
{
	if (!id || !info)
		return;
	if (client_entry *e = upsert(id, nullptr))
		e->info = strdup(info);
}

void client_put(const char *id, const char *info, int32_t online)
{
	if (client_entry *e = upsert(id, &online))
		e->info = info ? strdup(info) : nullptr;
}

bool client_get(const char *id, int32_t *online, const char **info)
{
	const client_entry *e = find(id);
	if (!e)
		return false;
	*online = e->online;
	*info = e->info;
	return true;
}

void client_delete(const char *id)
{
	client_entry *e = find(id);

	if (!e)
		return;
	avl_delete(&clients, &e->node);
	release(e);
}

unsigned int client_count(void)
{
	return clients.count;
}

int client_list(struct blob_buf *buf, uint32_t offset, uint32_t limit)
{
	if (blob_buf_init(buf, 0) < 0 || blobmsg_add_u32(buf, "count", clients.count) < 0)
		return -1;
	if (offset >= clients.count || !limit)
		return 0;

	void *array = blobmsg_open_array(buf, "client");
	if (!array)
		return -1;
	uint32_t index = 0;
	client_entry *e;
	avl_for_each_element(&clients, e, node) {
		if (index >= offset) {
			if (index - offset == limit)
				break;
			if (add_entry(buf, e, index) < 0)
				return -1;
		}
		index++;
	}
	blobmsg_close_array(buf, array);
	return 0;
}
