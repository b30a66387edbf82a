# Where the scripts build: trees named $TARN_BUILD_ROOT-<name>, by default under out/ in the
# checkout, so a checkout never meets trees configured from another one.
TARN_SOURCE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
TARN_BUILD_ROOT=${TARN_BUILD_ROOT:-$TARN_SOURCE/out/tarn}

build_dir_ready() {  # build-dir
    # A tree configured from another checkout (a moved or re-cloned one) makes cmake refuse to run.
    local cache=$1/CMakeCache.txt
    if [ -f "$cache" ] && ! grep -qxF "CMAKE_HOME_DIRECTORY:INTERNAL=$TARN_SOURCE" "$cache"; then
        rm -rf "$1"
    fi
    mkdir -p "$1"
}
