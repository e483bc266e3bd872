#!/usr/bin/env bash
# Builds the request-parser fuzz target with clang (libFuzzer, AddressSanitizer, UBSan) straight
# from the sources, since the main build uses g++, and runs it for a bounded time.
#   run_fuzz.sh [work dir]     PAVONIX_FUZZ_SECONDS (default 60) bounds the run.
# Exit 77 (skipped) when clang or its fuzzer runtime is missing, except in CI, where that fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
work=${1:-$(mktemp -d)}
seconds=${PAVONIX_FUZZ_SECONDS:-60}
missing() {
  echo "run_fuzz: $1" >&2
  if [ "${CI:-}" = "true" ] || [ "${CI:-}" = "1" ]; then exit 1; fi
  exit 77
}
command -v clang++ >/dev/null 2>&1 || missing "clang++ not found"
mkdir -p "$work/corpus"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root" "$root/app/http/http_request_parser.cpp" "$root/app/core/text.cpp" "$here/http_parser_fuzz.cpp" \
  -o "$work/http_parser_fuzz" || missing "clang++ cannot build a libFuzzer target (libclang-rt missing?)"
# Leak checks stay on; the parser allocates nothing that outlives a call.
exec "$work/http_parser_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
  -print_final_stats=1 "$work/corpus" "$here/seeds"
