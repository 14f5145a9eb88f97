# Shared by the project's scripts: progress messages and package installation.

say() { printf '\n== %s\n' "$*"; }

# Debian packages: those the Linux build of the module, the provider and the
# tools needs (all scripts/demo.sh installs); scripts/packages.txt adds those
# of the tests, the other presets and the packages (one name a line). No
# name is in both.
CE_BUILD_PACKAGES="cmake ninja-build g++ libgcrypt20-dev"

# ensure_packages NAME...: installs the Debian packages that are missing.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    say "All needed Debian packages are installed"
    return 0
  fi
  say "Installing missing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # A mirror in the middle of a sync answers with index files of the wrong
  # size for a while: the lists are fetched again after a pause, and the
  # install is tried with whatever lists there are when they still fail.
  local try
  for try in 1 2 3; do
    $sudo apt-get update -qq && break
    [ "$try" -lt 3 ] || { echo "apt-get update failed; installing from the lists at hand" >&2; break; }
    sleep $((try * 10))
  done
  for try in 1 2; do
    # --no-remove: an install that would take other packages away fails.
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-remove \
      --no-install-recommends "${missing[@]}" >/dev/null && return 0
    [ "$try" -lt 2 ] || return 1
    sleep 10
    $sudo apt-get update -qq || true
  done
}

# ensure_build_packages: what the Linux build needs.
ensure_build_packages() {
  # shellcheck disable=SC2086
  ensure_packages $CE_BUILD_PACKAGES
}

# ensure_project_packages: what every preset and test needs.
ensure_project_packages() {
  local extra=""
  [ -f "$CE_ROOT/scripts/packages.txt" ] && extra=$(grep -v '^\s*#' "$CE_ROOT/scripts/packages.txt" || true)
  # shellcheck disable=SC2086
  ensure_packages $CE_BUILD_PACKAGES $extra
}

# ensure_wine: the wine loaders that run the Windows builds' tests, wine64
# and the 32-bit wine32. Debian ships wine32 for the i386 architecture only,
# which is added once; both are installed in one step, so that apt matches
# their shared libraries' versions in the two architectures.
ensure_wine() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    say "Adding the i386 architecture (for wine32)"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo dpkg --add-architecture i386
  fi
  ensure_packages wine64 wine32:i386 && return 0
  # The i386 lists can lag behind the amd64 ones (a mirror serving an index
  # of another day): then apt's resolver gives up on the mix of versions.
  # The release's own versions, preferred over its updates, go together in
  # both architectures.
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || return 1
  say "Installing wine from $codename's own versions"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-remove \
    --no-install-recommends -o APT::Default-Release="$codename" \
    wine64 wine32:i386 libgstreamer-plugins-base1.0-0:i386 >/dev/null
}

# build_preset NAME: configures and builds one preset, quietly unless it fails.
build_preset() {
  local preset=$1 log
  log="$CE_ROOT/build/$preset.log"
  mkdir -p "$CE_ROOT/build"
  say "Building preset $preset"
  if ! (cmake --preset "$preset" && cmake --build --preset "$preset" -j "$(nproc)") >"$log" 2>&1; then
    tail -n 80 "$log"
    echo "build of preset $preset failed (full log: $log)" >&2
    return 1
  fi
}
