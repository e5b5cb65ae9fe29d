// The client registry, an AVL tree of entries that own their info texts.
// Keys are the id's bytes, zero-padded to 13, compared whole; a longer id is
// refused. The listing is in unsigned byte order of the keys. The registry
// is bounded in entries and in info bytes, so that no caller can make the
// daemon grow without end.
#include "registry.h"
#include "droplog.h"
#include "log.h"

extern "C" {
#include <libubox/avl.h>
#include <libubox/blobmsg.h>
}
#include <stdio.h>
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
	uint32_t mark;	// the mark current when last stored
};

avl_tree clients;
uint32_t current_mark;
size_t info_bytes;	// of all entries' info texts, NULs included

// A full registry refuses every report's update: a line a second at most.
char full_reason[80];
drop_log full_log = { .reason = full_reason, .unit = "update(s) refused", .level = 2 };
unsigned long refused;

// The number of the last message that arrived.
uint64_t report_clock;

// A removal: the client's key and the number of the last report before it.
struct removal {
	client_key key;
	uint64_t after;
};
removal removals[CLIENT_REMOVALS_KEPT];	// a ring, the oldest overwritten
unsigned int next_removal;
// The newest removal overwritten: a report before it cannot be told
// from one of a client removed since.
uint64_t forgotten;

// Where the removal of `key` is kept, or nullptr.
removal *removal_of(const client_key &key)
{
	for (removal &r : removals)
		if (r.after && !memcmp(r.key.bytes, key.bytes, CLIENT_KEY_LEN))
			return &r;
	return nullptr;
}

void note_removal(const client_key &key)
{
	removal *r = removal_of(key);
	if (!r) {
		r = &removals[next_removal];
		next_removal = (next_removal + 1) % CLIENT_REMOVALS_KEPT;
		if (r->after > forgotten)
			forgotten = r->after;
		r->key = key;
	}
	r->after = report_clock;
}

bool removed_since(const client_key &key, uint64_t report)
{
	const removal *r = removal_of(key);
	return report <= forgotten || (r && report <= r->after);
}

size_t info_size(const char *info)
{
	return info ? strlen(info) + 1 : 0;
}

bool id_too_long(const char *id)
{
	return strnlen(id, CLIENT_ID_MAX + 1) > CLIENT_ID_MAX;
}

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

void set_info(client_entry *e, const char *info)
{
	info_bytes -= info_size(e->info);
	free(e->info);
	e->info = info ? strdup(info) : nullptr;
	info_bytes += info_size(e->info);
}

void release(client_entry *e)
{
	info_bytes -= info_size(e->info);
	free(e->info);
	free(e);
}

// What an entry takes of a listing at most: the table and its members with
// their names, headers and padding.
size_t listed_size(const client_entry *e)
{
	return 128 + info_size(e->info);
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

// Update-or-insert. A new entry is online from now, or from *online when
// given; an entry that exists keeps its time unless *online is given.
int store(const char *id, const char *info, const int32_t *online, uint64_t report = 0)
{
	if (id_too_long(id))
		return CLIENT_ID_TOO_LONG;
	if (report && removed_since(key_of(id), report)) {
		log_msg(4, "client %s removed after its report %llu, not updated", id,
			(unsigned long long) report);
		return CLIENT_STALE;
	}

	client_entry *e = find(id);
	if (e)
		e->mark = current_mark;
	size_t old = e ? info_size(e->info) : 0;
	if ((!e && clients.count >= CLIENT_MAX) ||
	    info_bytes - old + info_size(info) > CLIENT_INFO_BYTES_MAX) {
		snprintf(full_reason, sizeof(full_reason),
			 "clients tree full (%u entries, %zu bytes of info)", clients.count, info_bytes);
		drop_note(&full_log, id, ++refused);
		return CLIENT_FULL;
	}
	if (e) {
		log_msg(4, "client update %s", id);
		set_info(e, info);
		if (online)
			e->online = *online;
		return CLIENT_OK;
	}

	log_msg(4, "client add %s", id);
	e = (client_entry *) calloc(1, sizeof(*e));
	if (!e) {
		log_msg(2, "no memory to add to clients tree(%s)", id);
		return CLIENT_OK;
	}
	e->key = key_of(id);
	e->mark = current_mark;
	e->online = online ? *online : (int32_t) time(nullptr);
	set_info(e, info);
	e->node.key = &e->key;
	if (avl_insert(&clients, &e->node)) {
		release(e);
		log_msg(4, "insert to clients tree(%s) failed", id);
	}
	return CLIENT_OK;
}

} // namespace

uint64_t client_report_arrived(void)
{
	return ++report_clock;
}

uint64_t client_report_number(uint32_t low_bits)
{
	uint64_t back = (report_clock - (low_bits & CLIENT_REPORT_BITS)) & CLIENT_REPORT_BITS;
	return back < report_clock ? report_clock - back : 0;	/* 0: none that arrived */
}

int client_update(const char *id, const char *info, uint64_t report)
{
	if (!id || !info)
		return CLIENT_OK;
	return store(id, info, nullptr, report);
}

int client_put(const char *id, const char *info, int32_t online)
{
	return store(id, info, &online);
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

int client_delete(const char *id)
{
	if (id_too_long(id))
		return CLIENT_ID_TOO_LONG;
	note_removal(key_of(id));
	client_entry *e = find(id);
	if (e) {
		avl_delete(&clients, &e->node);
		release(e);
	}
	return CLIENT_OK;
}

unsigned int client_count(void)
{
	return clients.count;
}

void client_mark_begin(void)
{
	current_mark++;
}

unsigned int client_sweep_unmarked(void)
{
	unsigned int removed = 0;
	client_entry *e, *next;
	avl_for_each_element_safe(&clients, e, node, next)
		if (e->mark != current_mark) {
			avl_delete(&clients, &e->node);
			release(e);
			removed++;
		}
	return removed;
}

int client_list(struct blob_buf *buf, uint32_t offset, uint32_t limit, size_t max_bytes)
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
			if (index - offset == limit ||
			    blob_raw_len(buf->head) + listed_size(e) > max_bytes)
				break;
			if (add_entry(buf, e, index) < 0)
				return -1;
		}
		index++;
	}
	blobmsg_close_array(buf, array);
	return 0;
}
