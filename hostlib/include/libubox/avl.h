/* Balanced binary tree whose nodes are also threaded on an ordered list. */
#ifndef HOSTLIB_LIBUBOX_AVL_H
#define HOSTLIB_LIBUBOX_AVL_H

#include <stddef.h>
#include <stdbool.h>
#include "list.h"

struct avl_node {
	struct list_head list;		/* must stay first: iteration walks it */
	struct avl_node *parent;
	struct avl_node *left;
	struct avl_node *right;
	const void *key;
	signed char balance;
	bool leader;
};

typedef int (*avl_tree_comp)(const void *k1, const void *k2, void *ptr);

struct avl_tree {
	struct list_head list_head;
	struct avl_node *root;
	unsigned int count;
	bool allow_dups;
	avl_tree_comp comp;
	void *cmp_ptr;
};

enum avl_find_mode {
	AVL_FIND_EQUAL,
	AVL_FIND_LESSEQUAL,
	AVL_FIND_GREATEREQUAL,
};

void avl_init(struct avl_tree *tree, avl_tree_comp comp, bool allow_dups, void *ptr);
struct avl_node *avl_find(const struct avl_tree *tree, const void *key);
struct avl_node *avl_find_greaterequal(const struct avl_tree *tree, const void *key);
struct avl_node *avl_find_lessequal(const struct avl_tree *tree, const void *key);
int avl_insert(struct avl_tree *tree, struct avl_node *node);
void avl_delete(struct avl_tree *tree, struct avl_node *node);

void *__avl_find_element(const struct avl_tree *tree, const void *key,
			 size_t offset, enum avl_find_mode mode);

static inline bool avl_is_first(struct avl_tree *tree, struct avl_node *node)
{
	return tree->list_head.next == &node->list;
}

static inline bool avl_is_last(struct avl_tree *tree, struct avl_node *node)
{
	return tree->list_head.prev == &node->list;
}

static inline bool avl_is_empty(struct avl_tree *tree)
{
	return tree->count == 0;
}

#define avl_find_element(tree, key, element, node_element)		\
	((__typeof__(*(element)) *) __avl_find_element(tree, key,	\
		offsetof(__typeof__(*(element)), node_element), AVL_FIND_EQUAL))
#define avl_find_le_element(tree, key, element, node_element)		\
	((__typeof__(*(element)) *) __avl_find_element(tree, key,	\
		offsetof(__typeof__(*(element)), node_element), AVL_FIND_LESSEQUAL))
#define avl_find_ge_element(tree, key, element, node_element)		\
	((__typeof__(*(element)) *) __avl_find_element(tree, key,	\
		offsetof(__typeof__(*(element)), node_element), AVL_FIND_GREATEREQUAL))

#define avl_first_element(tree, element, node_member)			\
	container_of((tree)->list_head.next, __typeof__(*(element)), node_member.list)
#define avl_last_element(tree, element, node_member)			\
	container_of((tree)->list_head.prev, __typeof__(*(element)), node_member.list)
#define avl_next_element(element, node_member)				\
	container_of((&(element)->node_member.list)->next, __typeof__(*(element)), node_member.list)
#define avl_prev_element(element, node_member)				\
	container_of((&(element)->node_member.list)->prev, __typeof__(*(element)), node_member.list)

#define avl_for_element_range(first, last, element, node_member)	\
	for (element = (first);						\
	     element->node_member.list.prev != &(last)->node_member.list; \
	     element = avl_next_element(element, node_member))

#define avl_for_each_element(tree, element, node_member)		\
	for (element = avl_first_element(tree, element, node_member);	\
	     &element->node_member.list != &(tree)->list_head;		\
	     element = avl_next_element(element, node_member))

#define avl_for_each_element_reverse(tree, element, node_member)	\
	for (element = avl_last_element(tree, element, node_member);	\
	     &element->node_member.list != &(tree)->list_head;		\
	     element = avl_prev_element(element, node_member))

#define avl_for_each_element_safe(tree, element, node_member, ptr)	\
	for (element = avl_first_element(tree, element, node_member),	\
	     ptr = avl_next_element(element, node_member);		\
	     &element->node_member.list != &(tree)->list_head;		\
	     element = ptr, ptr = avl_next_element(ptr, node_member))

/* Empties the tree without rebalancing; the loop body may free each element. */
#define avl_remove_all_elements(tree, element, node_member, ptr)	\
	for (element = avl_first_element(tree, element, node_member),	\
	     ptr = avl_next_element(element, node_member),		\
	     INIT_LIST_HEAD(&(tree)->list_head), (tree)->root = NULL, (tree)->count = 0; \
	     &element->node_member.list != &(tree)->list_head;		\
	     element = ptr, ptr = avl_next_element(ptr, node_member))

#endif
