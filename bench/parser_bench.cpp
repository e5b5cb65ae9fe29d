// Multipart parser throughput on a 64 MiB body fed in 4096-byte pieces: random
// content, and content dense in CR LF and near-miss delimiters; a plain memchr
// scan for CR over the same buffer is the floor.
#include "multipart.h"

#include <benchmark/benchmark.h>
#include <string.h>
#include <random>
#include <string>

namespace {

constexpr size_t body_size = 64 << 20;
constexpr size_t piece = 4096;
const std::string delim = "--------------------------bench0123456789";

std::string make_body(bool dense)
{
	std::mt19937_64 rng(42);
	std::string content(body_size, '\0');
	for (size_t i = 0; i + 8 <= body_size; i += 8) {
		uint64_t v = rng();
		memcpy(&content[i], &v, 8);
	}
	if (dense) {
		const std::string near = "\r\n" + delim.substr(0, delim.size() - 1) + "x";
		for (size_t i = 0; i + 64 < body_size; i += 64) {
			content.replace(i, 2, "\r\n");
			if (i % 1024 == 0)
				content.replace(i + 8, near.size(), near);
		}
	}
	return delim + "\r\nContent-Disposition: form-data; name=\"filedata\"\r\n\r\n" + content +
	       "\r\n" + delim + "--\r\n";
}

const std::string &body(bool dense)
{
	static const std::string random_body = make_body(false);
	static const std::string dense_body = make_body(true);
	return dense ? dense_body : random_body;
}

int count_data(mp_parser *p, const char *, size_t len)
{
	*(size_t *) mp_get_user_data(p) += len;
	return 0;
}

const mp_callbacks callbacks = { .on_data = count_data };

void parse(benchmark::State &state, bool dense)
{
	const std::string &b = body(dense);
	for (auto _ : state) {
		size_t delivered = 0;
		mp_parser *p = mp_create(delim.c_str(), &callbacks);
		mp_set_user_data(p, &delivered);
		for (size_t off = 0; off < b.size(); off += piece) {
			size_t n = std::min(piece, b.size() - off);
			if (mp_execute(p, b.data() + off, n) != n)
				state.SkipWithError("parse stopped");
		}
		mp_free(p);
		benchmark::DoNotOptimize(delivered);
	}
	state.SetBytesProcessed((int64_t) (state.iterations() * b.size()));
}

void memchr_floor(benchmark::State &state, bool dense)
{
	const std::string &b = body(dense);
	for (auto _ : state) {
		size_t crs = 0;
		for (size_t off = 0; off < b.size(); off += piece) {
			size_t n = std::min(piece, b.size() - off);
			const char *p = b.data() + off, *end = p + n;
			while ((p = (const char *) memchr(p, '\r', end - p))) {
				crs++;
				p++;
			}
		}
		benchmark::DoNotOptimize(crs);
	}
	state.SetBytesProcessed((int64_t) (state.iterations() * b.size()));
}

} // namespace

BENCHMARK_CAPTURE(parse, random, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(memchr_floor, random, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(parse, dense, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(memchr_floor, dense, true)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
