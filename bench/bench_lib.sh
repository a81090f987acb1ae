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
