/* strcmp as an AVL comparator, for trees keyed by strings. */
#ifndef HOSTLIB_LIBUBOX_AVL_CMP_H
#define HOSTLIB_LIBUBOX_AVL_CMP_H

int avl_strcmp(const void *k1, const void *k2, void *ptr);

#endif
