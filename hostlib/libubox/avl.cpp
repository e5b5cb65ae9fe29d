// AVL tree with parent links; every node is also threaded on an ordered list,
// so iteration is a plain list walk and never touches the tree.
//
// Balance is height(right) - height(left). Equal keys (when allowed) descend
// to the right, so a duplicate always lands after those already present.
extern "C" {
#include <libubox/avl.h>
#include <libubox/avl-cmp.h>
#include <libubox/blob.h>
}
#include <string.h>
#include <algorithm>

namespace {

int cmp(const avl_tree *t, const void *a, const void *b)
{
	return t->comp(a, b, t->cmp_ptr);
}

void replace_child(avl_tree *t, avl_node *parent, avl_node *old, avl_node *n)
{
	if (!parent)
		t->root = n;
	else if (parent->left == old)
		parent->left = n;
	else
		parent->right = n;
	if (n)
		n->parent = parent;
}

avl_node *rotate_left(avl_tree *t, avl_node *x)
{
	avl_node *y = x->right;

	replace_child(t, x->parent, x, y);
	x->right = y->left;
	if (x->right)
		x->right->parent = x;
	y->left = x;
	x->parent = y;

	x->balance = x->balance - 1 - std::max<int>(y->balance, 0);
	y->balance = y->balance - 1 + std::min<int>(x->balance, 0);
	return y;
}

avl_node *rotate_right(avl_tree *t, avl_node *x)
{
	avl_node *y = x->left;

	replace_child(t, x->parent, x, y);
	x->left = y->right;
	if (x->left)
		x->left->parent = x;
	y->right = x;
	x->parent = y;

	x->balance = x->balance + 1 - std::min<int>(y->balance, 0);
	y->balance = y->balance + 1 + std::max<int>(x->balance, 0);
	return y;
}

// Restores a node whose balance reached +-2; returns the subtree's new root.
avl_node *rebalance(avl_tree *t, avl_node *n)
{
	if (n->balance < 0) {
		if (n->left->balance > 0)
			rotate_left(t, n->left);
		return rotate_right(t, n);
	}
	if (n->right->balance < 0)
		rotate_right(t, n->right);
	return rotate_left(t, n);
}

void retrace_insert(avl_tree *t, avl_node *n)
{
	for (avl_node *p = n->parent; p; n = p, p = p->parent) {
		p->balance += (n == p->left) ? -1 : 1;
		if (p->balance == 0)
			return;
		if (p->balance == 2 || p->balance == -2) {
			rebalance(t, p);
			return;
		}
	}
}

// The subtree on `left_side` of p has become one level lower.
void retrace_delete(avl_tree *t, avl_node *p, bool left_side)
{
	while (p) {
		p->balance += left_side ? 1 : -1;
		if (p->balance == 1 || p->balance == -1)
			return;

		avl_node *g = p->parent;
		bool p_is_left = g && g->left == p;

		if (p->balance != 0) {
			avl_node *sibling = p->balance > 0 ? p->right : p->left;
			bool height_kept = sibling->balance == 0;
			rebalance(t, p);
			if (height_kept)
				return;
		}
		p = g;
		left_side = p_is_left;
	}
}

// Puts the in-order successor s of x (x has two children) in x's place.
void swap_with_successor(avl_tree *t, avl_node *x, avl_node *s)
{
	avl_node *xl = x->left, *xr = x->right, *sp = s->parent, *sr = s->right;

	std::swap(x->balance, s->balance);
	replace_child(t, x->parent, x, s);
	s->left = xl;
	xl->parent = s;
	if (xr == s) {
		s->right = x;
		x->parent = s;
	} else {
		s->right = xr;
		xr->parent = s;
		sp->left = x;
		x->parent = sp;
	}
	x->left = nullptr;
	x->right = sr;
	if (sr)
		sr->parent = x;
}

avl_node *first_of_equals(const avl_tree *t, avl_node *n)
{
	while (n->list.prev != &t->list_head) {
		avl_node *prev = container_of(n->list.prev, avl_node, list);
		if (cmp(t, n->key, prev->key) != 0)
			break;
		n = prev;
	}
	return n;
}

} // namespace

extern "C" {

void avl_init(struct avl_tree *tree, avl_tree_comp comp, bool allow_dups, void *ptr)
{
	INIT_LIST_HEAD(&tree->list_head);
	tree->root = nullptr;
	tree->count = 0;
	tree->allow_dups = allow_dups;
	tree->comp = comp;
	tree->cmp_ptr = ptr;
}

struct avl_node *avl_find(const struct avl_tree *tree, const void *key)
{
	for (avl_node *n = tree->root; n;) {
		int c = cmp(tree, key, n->key);
		if (c == 0)
			return tree->allow_dups ? first_of_equals(tree, n) : n;
		n = c < 0 ? n->left : n->right;
	}
	return nullptr;
}

struct avl_node *avl_find_lessequal(const struct avl_tree *tree, const void *key)
{
	avl_node *best = nullptr;

	for (avl_node *n = tree->root; n;) {
		int c = cmp(tree, key, n->key);
		if (c == 0)
			return avl_find(tree, key);
		if (c > 0) {
			best = n;
			n = n->right;
		} else {
			n = n->left;
		}
	}
	return best;
}

struct avl_node *avl_find_greaterequal(const struct avl_tree *tree, const void *key)
{
	avl_node *best = nullptr;

	for (avl_node *n = tree->root; n;) {
		int c = cmp(tree, key, n->key);
		if (c == 0)
			return avl_find(tree, key);
		if (c < 0) {
			best = n;
			n = n->left;
		} else {
			n = n->right;
		}
	}
	return best;
}

void *__avl_find_element(const struct avl_tree *tree, const void *key,
			 size_t offset, enum avl_find_mode mode)
{
	avl_node *n;

	switch (mode) {
	case AVL_FIND_LESSEQUAL:
		n = avl_find_lessequal(tree, key);
		break;
	case AVL_FIND_GREATEREQUAL:
		n = avl_find_greaterequal(tree, key);
		break;
	default:
		n = avl_find(tree, key);
		break;
	}
	return n ? (char *) n - offset : nullptr;
}

int avl_insert(struct avl_tree *tree, struct avl_node *node)
{
	node->parent = node->left = node->right = nullptr;
	node->balance = 0;
	node->leader = true;

	avl_node *cur = tree->root;
	if (!cur) {
		tree->root = node;
		list_add(&node->list, &tree->list_head);
		tree->count++;
		return 0;
	}

	for (;;) {
		int c = cmp(tree, node->key, cur->key);
		if (c == 0 && !tree->allow_dups)
			return -1;
		if (c == 0)
			node->leader = false;
		avl_node **slot = c < 0 ? &cur->left : &cur->right;
		if (*slot) {
			cur = *slot;
			continue;
		}
		*slot = node;
		node->parent = cur;
		if (c < 0)
			list_add_tail(&node->list, &cur->list);	/* cur is the successor */
		else
			list_add(&node->list, &cur->list);	/* cur is the predecessor */
		break;
	}

	retrace_insert(tree, node);
	tree->count++;
	return 0;
}

void avl_delete(struct avl_tree *tree, struct avl_node *node)
{
	if (node->left && node->right)
		swap_with_successor(tree, node, container_of(node->list.next, avl_node, list));

	avl_node *child = node->left ? node->left : node->right;
	avl_node *parent = node->parent;
	bool left_side = parent && parent->left == node;

	replace_child(tree, parent, node, child);
	retrace_delete(tree, parent, left_side);

	list_del(&node->list);
	node->parent = node->left = node->right = nullptr;
	tree->count--;
}

int avl_strcmp(const void *k1, const void *k2, void *)
{
	return strcmp((const char *) k1, (const char *) k2);
}

} // extern "C"
