// The in-memory registry of managed clients, keyed by a 13-byte id form.
#pragma once

struct blob_buf;

constexpr int CLIENT_KEY_LEN = 13;

void client_init(void);
void client_update(const char *id, const char *info);
void client_delete(const char *id);
unsigned int client_count(void);
// 0, or -1 when the buffer could not take the whole listing.
int client_list(struct blob_buf *buf);
