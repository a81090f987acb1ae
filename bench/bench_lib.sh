# Helpers of the benchmark scripts (sourced, not run).

# Arithmetic on decimals: calc "1.5 * 2".
calc() { awk "BEGIN { print $1 }"; }

# Installs a Debian package when its command is missing: need command package.
need() {
  command -v "$1" >/dev/null 2>&1 && return
  echo "Installing $2..." >&2
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get install -y -qq "$2" >/dev/null 2>&1 || { $sudo apt-get update -qq && $sudo apt-get install -y -qq "$2" >/dev/null; }
}

# Builds trel (Release, without tests and benchmarks) in the folder $1 when
# it holds none yet; sets trel to its path.
release_trel() {
  if [ ! -x "$1/src/driver/trel" ]; then
    echo "Building trel (Release) in $1..." >&2
    cmake -S "$here" -B "$1" -DCMAKE_BUILD_TYPE=Release -DTREL_TESTS=OFF -DTREL_BENCH=OFF >/dev/null
    cmake --build "$1" -j "$(nproc)" --target trel >/dev/null
  fi
  trel=$1/src/driver/trel
}

# Runs $trel in a fresh folder under $work, its results there, with the
# environment assignments before "--" and the arguments after it; prints
# "elapsed_s cpu_s peak_kB" (/usr/bin/time). Stops the script when trel fails.
timed_trel() {
  local out vars=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do vars+=("$1"); shift; done
  shift
  out=$(mktemp -d "$work/run_XXXXXX")
  (cd "$out" && env TREL_RESULTS="$out/results" "${vars[@]}" \
     /usr/bin/time -f "%e %U %S %M" -o "$out/time" "$trel" "$@" >/dev/null 2>&1) || { echo "trel failed: $*" >&2; exit 1; }
  awk '{print $1, $2 + $3, $4}' "$out/time"
  rm -rf "$out"
}

# The rows of timed_trel given as arguments, as one row of their medians:
# elapsed seconds, CPU seconds and peak megabytes, printed as "%10.2f %8.2f %10.1f".
median_row() {
  local col
  for col in 1 2 3; do
    printf '%s\n' "$@" | awk -v k=$col '{print $k}' | sort -g |
      awk '{v[NR] = $0} END {print NR % 2 ? v[(NR + 1) / 2] : v[NR / 2]}'
  done | awk '{v[NR] = $0} END {printf "%10.2f %8.2f %10.1f\n", v[1], v[2], v[3] / 1024}'
}

# The start of a benchmark of a Release build, named $1, built in the folder
# $2 (default build-bench; relative to the project): sets build, data (the
# shared structures), query (1ard) and trel, and work, a fresh folder under
# $TMPDIR removed at exit. Stops the script when /usr/bin/time or the query
# is missing.
release_bench_start() {
  build=${2:-$here/build-bench}
  case "$build" in /*) ;; *) build=$here/$build ;; esac
  data=${TREL_SHARED_DATA:-$here/../shared/data}/pdb
  query=$data/mustang-testdata/1ard.pdb
  [ -x /usr/bin/time ] || { echo "/usr/bin/time is needed" >&2; exit 1; }
  [ -f "$query" ] || { echo "$query is missing" >&2; exit 1; }
  release_trel "$build"
  work=$(mktemp -d "${TMPDIR:-/tmp}/trel_$1_XXXXXX")
  trap 'rm -rf "$work"' EXIT
}

# The start of a benchmark, named $1, of the trel given as $2 (default the
# project's build/src/driver/trel; $root is the project): sets trel (made
# absolute), zinc (the shared zinc fingers) and work, a fresh folder removed
# at exit. Stops the script when there is no trel or no zinc fingers.
given_bench_start() {
  trel=$(realpath "${2:-$root/build/src/driver/trel}")
  zinc="$root/../shared/data/pdb/mustang-testdata"
  [ -x "$trel" ] || { echo "$1: no trel at $trel" >&2; exit 1; }
  [ -d "$zinc" ] || { echo "$1: no zinc fingers at $zinc" >&2; exit 1; }
  work=$(mktemp -d)
  trap 'umount "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
}

# A fresh place for a run's results, its path printed: as root, an ext4
# loop image of 2 GB made for it and mounted at $work/mnt (the one before
# unmounted; given_bench_start's exit unmounts the last); else a new folder
# under $work. ext4 skips the inodes of files removed in the last minutes
# when it hands out new ones: after the removal of a run's 11,000 files (or
# of any other program's) that search cost more system time than the whole
# write path, and made trials differ by half.
fresh_place() {
  if [ "$(id -u)" -eq 0 ] && command -v mkfs.ext4 >/dev/null && losetup -f >/dev/null 2>&1; then
    umount "$work/mnt" 2>/dev/null || true
    rm -f "$work/image"
    truncate -s 2G "$work/image"
    if mkfs.ext4 -q -F "$work/image" >/dev/null 2>&1 && mkdir -p "$work/mnt" && mount -o loop "$work/image" "$work/mnt"; then
      echo "$work/mnt"
      return
    fi
  fi
  mktemp -d "$work/res.XXXXXX"
}

# Builds the preloaded library of file-system faults (bench/faults_shim.c,
# chosen by FAULT_* variables: see its head) into $work; sets shim to it.
build_shim() {
  shim=$work/faults_shim.so
  cc -shared -fPIC -O2 -o "$shim" "$(dirname "${BASH_SOURCE[0]}")/faults_shim.c" -ldl
}

# Copies every zinc finger but 1ard K times into the working folder, as
# c<k>_<name>.pdb for k = 1..K: targets enough for a run that lasts.
zinc_copies() {
  local k f b
  for k in $(seq "$1"); do
    for f in "$zinc"/*.pdb; do
      b=$(basename "$f" .pdb)
      [ "$b" = 1ard ] || cp "$f" "c${k}_$b.pdb"
    done
  done
}

# Sleeps a random time up to $1 milliseconds (from $2, default 0).
random_sleep() {
  sleep "$(awk -v l="$1" -v f="${2:-0}" -v r="$RANDOM" 'BEGIN {printf "%.4f", (f + (l - f) * r / 32768) / 1000}')"
}

# The files under folder $1 set aside under numbered names (NAME.1,
# NAME.1.pdb), the logs left out.
aside() { find "$1" -type f -regex '.*\.[0-9]+\(\.[a-z0-9]+\)?' ! -name 'trel.log*' 2>/dev/null | wc -l; }
# The files standing under folder $1 (none when it is gone), the log of
# the -purge that left them out.
left() { [ -d "$1" ] && find "$1" -type f ! -name 'trel.log' | wc -l || echo 0; }
# Their names under $1, at most three, on one line.
left_names() { [ -d "$1" ] && find "$1" -type f ! -name 'trel.log' | head -3 | sed "s|^$1/||" | tr '\n' ' ' || true; }

# Files under folder $1 that no line of its record names (the record
# itself left out).
unlined() {
  [ -d "$1" ] || { echo 0; return; }
  local rec="$1/.zam_written" n=0 f
  while IFS= read -r f; do
    f=${f#"$1"/}
    [ "$f" = .zam_written ] && continue
    grep -qaF " $f" "$rec" 2>/dev/null || n=$((n + 1))
  done < <(find "$1" -type f)
  echo $n
}

# The hits that the results tables in the outputs $3... of runs of 1ard
# show, and the files missing of the $2 that each hit gets in the query's
# folder $1 (<hit>_1ard*): prints "shown missing gone torn", gone the hits
# without a file, torn those with some.
shown_missing() {
  local dir=$1 per=$2 h n shown=0 missing=0 gone=0 torn=0
  shift 2
  for h in $(cat "$@" | awk '$1 ~ /^[0-9]+$/ && $NF ~ /\[/ { sub(/\[.*/, "", $NF); print $NF }' | sort -u); do
    n=$(find "$dir" -maxdepth 1 -name "${h}_1ard*" -type f | wc -l)
    missing=$((missing + (n < per ? per - n : 0)))
    [ "$n" -eq 0 ] && gone=$((gone + 1))
    [ "$n" -gt 0 ] && [ "$n" -lt "$per" ] && torn=$((torn + 1))
    shown=$((shown + 1))
  done
  echo "$shown $missing $gone $torn"
}
