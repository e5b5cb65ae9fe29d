// list_head macros and the AVL tree: order, count, duplicates, lookups.
extern "C" {
#include <libubox/avl.h>
#include <libubox/avl-cmp.h>
#include <libubox/list.h>
}
#include <gtest/gtest.h>
#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace {

struct item {
	struct list_head list;
	int v;
};

TEST(List, AddTailDelAndSafeIteration)
{
	LIST_HEAD(head);
	item a{ {}, 1 }, b{ {}, 2 }, c{ {}, 3 };

	EXPECT_TRUE(list_empty(&head));
	list_add_tail(&a.list, &head);
	list_add_tail(&b.list, &head);
	list_add(&c.list, &head);	/* front */

	std::vector<int> seen;
	item *p, *n;
	list_for_each_entry(p, &head, list)
		seen.push_back(p->v);
	EXPECT_EQ(seen, (std::vector<int>{ 3, 1, 2 }));

	list_for_each_entry_safe(p, n, &head, list)
		if (p->v == 1)
			list_del(&p->list);
	EXPECT_EQ(a.list.next, nullptr);
	EXPECT_EQ(a.list.prev, nullptr);
	EXPECT_EQ(list_first_entry(&head, item, list)->v, 3);
	EXPECT_EQ(list_last_entry(&head, item, list)->v, 2);
}

struct node {
	struct avl_node avl;
	int key;
	int serial;
};

int intcmp(const void *a, const void *b, void *)
{
	int x = *(const int *) a, y = *(const int *) b;
	return (x > y) - (x < y);
}

// Height of a subtree, failing the test when a balance factor is wrong.
int checked_height(const avl_node *n, const avl_node *parent)
{
	if (!n)
		return 0;
	EXPECT_EQ(n->parent, parent);
	int l = checked_height(n->left, n), r = checked_height(n->right, n);
	EXPECT_EQ(n->balance, r - l);
	EXPECT_LE(std::abs(r - l), 1);
	return 1 + std::max(l, r);
}

std::vector<int> keys_in_order(avl_tree *t)
{
	std::vector<int> out;
	node *e;
	avl_for_each_element(t, e, avl)
		out.push_back(e->key);
	return out;
}

TEST(Avl, RandomInsertDeleteStaysOrderedAndBalanced)
{
	avl_tree t;
	avl_init(&t, intcmp, false, nullptr);
	std::vector<node> pool(4000);
	std::vector<bool> in_tree(pool.size());
	std::set<int> model;
	std::mt19937 rng(12345);

	for (int round = 0; round < 20000; round++) {
		size_t idx = rng() % pool.size();
		node &n = pool[idx];
		if (in_tree[idx]) {
			EXPECT_EQ(avl_find_element(&t, &n.key, &n, avl), &n);
			avl_delete(&t, &n.avl);
			model.erase(n.key);
			in_tree[idx] = false;
		} else {
			n.key = (int) (rng() % 1000);
			n.avl.key = &n.key;
			int ret = avl_insert(&t, &n.avl);
			EXPECT_EQ(ret, model.count(n.key) ? -1 : 0);
			if (ret == 0) {
				model.insert(n.key);
				in_tree[idx] = true;
			}
		}
		if (round % 1000 == 0)
			checked_height(t.root, nullptr);
	}
	checked_height(t.root, nullptr);
	EXPECT_EQ(t.count, model.size());
	EXPECT_EQ(keys_in_order(&t), std::vector<int>(model.begin(), model.end()));
}

TEST(Avl, EmptyTreeIteratesZeroTimes)
{
	avl_tree t;
	avl_init(&t, avl_strcmp, false, nullptr);
	node *e;
	int n = 0;
	avl_for_each_element(&t, e, avl)
		n++;
	EXPECT_EQ(n, 0);
	EXPECT_TRUE(avl_is_empty(&t));
	EXPECT_EQ(avl_find(&t, "x"), nullptr);
}

TEST(Avl, DuplicatesKeepInsertionOrderAndFindReturnsFirst)
{
	avl_tree t;
	avl_init(&t, intcmp, true, nullptr);
	node nodes[40];
	for (int i = 0; i < 40; i++) {
		nodes[i].key = i % 4;
		nodes[i].serial = i;
		nodes[i].avl.key = &nodes[i].key;
		ASSERT_EQ(avl_insert(&t, &nodes[i].avl), 0);
	}
	EXPECT_EQ(t.count, 40u);
	checked_height(t.root, nullptr);

	int last_key = -1, last_serial = -1;
	node *e;
	avl_for_each_element(&t, e, avl) {
		if (e->key == last_key) {
			EXPECT_GT(e->serial, last_serial);
		}
		EXPECT_GE(e->key, last_key);
		last_key = e->key;
		last_serial = e->serial;
	}
	int two = 2;
	node *first = avl_find_element(&t, &two, first, avl);
	ASSERT_NE(first, nullptr);
	EXPECT_EQ(first->serial, 2);
}

TEST(Avl, LessEqualAndGreaterEqual)
{
	avl_tree t;
	avl_init(&t, intcmp, false, nullptr);
	node nodes[5];
	for (int i = 0; i < 5; i++) {
		nodes[i].key = i * 10;
		nodes[i].avl.key = &nodes[i].key;
		avl_insert(&t, &nodes[i].avl);
	}
	int k = 25;
	node *e = nullptr;
	EXPECT_EQ(avl_find_le_element(&t, &k, e, avl)->key, 20);
	EXPECT_EQ(avl_find_ge_element(&t, &k, e, avl)->key, 30);
	k = 41;
	EXPECT_EQ(avl_find_ge_element(&t, &k, e, avl), nullptr);
	k = -1;
	EXPECT_EQ(avl_find_le_element(&t, &k, e, avl), nullptr);
	k = 30;
	EXPECT_EQ(avl_find_le_element(&t, &k, e, avl)->key, 30);
}

TEST(Avl, RemoveAllElementsVisitsEachOnce)
{
	avl_tree t;
	avl_init(&t, intcmp, false, nullptr);
	node nodes[100];
	for (int i = 0; i < 100; i++) {
		nodes[i].key = (i * 37) % 100;
		nodes[i].avl.key = &nodes[i].key;
		avl_insert(&t, &nodes[i].avl);
	}
	node *e, *tmp;
	int sum = 0, n = 0;
	avl_remove_all_elements(&t, e, avl, tmp) {
		sum += e->key;
		n++;
	}
	EXPECT_EQ(n, 100);
	EXPECT_EQ(sum, 4950);
	EXPECT_EQ(t.count, 0u);
	EXPECT_TRUE(list_empty(&t.list_head));
}

} // namespace
