// The in-memory registry of managed clients, keyed by a 13-byte id form.
#pragma once

struct blob_buf;

constexpr int CLIENT_KEY_LEN = 13;

void client_init(void);
void client_update(const char *id, const char *info);
void client_delete(const char *id);
void client_list(struct blob_buf *buf);
