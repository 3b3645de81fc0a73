#!/usr/bin/env bash
# The layer rule of src/, as a check anyone can run (make test runs it):
#   - only src/python/ includes Python.h or NumPy headers;
#   - only src/base/platform.* includes the POSIX file headers or calls POSIX file, mmap or
#     flock functions;
#   - no layer includes a higher one: base <- storage, search <- collection <- python
#     (storage and search stand side by side);
#   - the binding takes no collection lock.
# Prints every breach and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
breach() {
  echo "check_layers: $1" >&2
  status=1
}

layer_rank() {
  case "$1" in
    base) echo 0 ;;
    storage | search) echo 1 ;;
    collection) echo 2 ;;
    python) echo 3 ;;
    *) echo -1 ;;
  esac
}

# Source lines with // comments removed, as "file:line:text".
code_lines() {
  grep -nH '' "$@" | sed -E 's@//.*$@@'
}

mapfile -t sources < <(find src -type f \( -name '*.cpp' -o -name '*.hpp' \) | sort)

posix_headers='(fcntl\.h|unistd\.h|sys/mman\.h|sys/file\.h|sys/stat\.h|sys/types\.h|dirent\.h)'
posix_calls='(open|openat|creat|close|read|write|pread|pwrite|lseek|fsync|fdatasync|ftruncate|fstat|stat|lstat|unlink|mkdir|rmdir|opendir|readdir|closedir|mmap|munmap|msync|mremap|madvise|flock|fcntl)'

for f in "${sources[@]}"; do
  layer=$(echo "$f" | cut -d/ -f2)
  rank=$(layer_rank "$layer")

  if [ "$layer" != python ]; then
    while IFS= read -r hit; do
      breach "$hit: Python or NumPy header outside src/python/"
    done < <(code_lines "$f" | grep -E '#[[:space:]]*include[[:space:]]*[<"](Python\.h|numpy/)' || true)
  fi

  case "$f" in
    src/base/platform.cpp | src/base/platform.hpp) ;;
    *)
      while IFS= read -r hit; do
        breach "$hit: POSIX file header outside src/base/platform.*"
      done < <(code_lines "$f" | grep -E "#[[:space:]]*include[[:space:]]*<$posix_headers>" || true)
      # A call by its bare or global name. Members (x.read(, p->close(), other scopes
      # (std::fill() and declarations (Result<void> close() are not POSIX calls.
      while IFS= read -r hit; do
        breach "$hit: POSIX file, mmap or flock call outside src/base/platform.*"
      done < <(perl -ne '
        s{//.*}{};
        while (/(?<![\w.>:])(?:::)?(?:'"$posix_calls"')\s*\(/g) {
          my $before = substr($_, 0, $-[0]);
          next if $before =~ /[\w>\]\)*&]\s+$/ && $before !~ /\breturn\s+$/;
          print "$ARGV:$.:$_";
          last;
        }
        close ARGV if eof;' "$f")
      ;;
  esac

  while IFS= read -r hit; do
    target=$(echo "$hit" | sed -E 's@.*#[[:space:]]*include[[:space:]]*"([a-z_]+)/.*@\1@')
    target_rank=$(layer_rank "$target")
    if [ "$rank" -ge 0 ] && [ "$target_rank" -gt "$rank" ]; then
      breach "$hit: $layer includes the higher layer $target"
    fi
  done < <(code_lines "$f" | grep -E '#[[:space:]]*include[[:space:]]*"[a-z_]+/' || true)

  if [ "$layer" = python ]; then
    while IFS= read -r hit; do
      breach "$hit: the binding takes a collection lock"
    done < <(code_lines "$f" |
      grep -E '\b(pending_lock|hnsw_lock|vectors_lock|freelist_lock|flush_lock|cache_lock)\b' || true)
  fi
done

if [ "$status" -eq 0 ]; then
  echo "check_layers: ${#sources[@]} files keep the layer rule"
fi
exit "$status"
