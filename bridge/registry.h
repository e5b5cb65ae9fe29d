// The in-memory registry of managed clients, keyed by a 13-byte id form.
#pragma once

#include <stdint.h>

struct blob_buf;

constexpr int CLIENT_KEY_LEN = 13;

void client_init(void);
void client_update(const char *id, const char *info);
// Sets the entry of `id` as another bridge of the group has it: its info (or
// none) and its online time.
void client_put(const char *id, const char *info, int32_t online);
// The entry of `id`: false when there is none. *info may be nullptr.
bool client_get(const char *id, int32_t *online, const char **info);
void client_delete(const char *id);
unsigned int client_count(void);
// Lists the entries at positions offset .. offset + limit - 1 of the whole
// listing (all of them by default), with "count" always the total and
// "index" the position in the whole listing. 0, or -1 when the buffer could
// not take the whole page.
int client_list(struct blob_buf *buf, uint32_t offset = 0, uint32_t limit = UINT32_MAX);
