#!/usr/bin/env bash
# The whole test suite from nothing: installs the dependencies, builds and tests the Linux tree,
# cross-builds the Windows tree (with its MSI) and runs its tests, the service check, the
# installer check and the TLS check under Wine, then the sanitizer, fuzz and soak stages. Pick
# stages with TARN_STAGES="linux windows asan tsan fuzz soak" (default: all of them; soak reuses
# the Linux stage's build).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/build-env.sh"
source_dir=$TARN_SOURCE
build_root=$TARN_BUILD_ROOT
stages=${TARN_STAGES:-linux windows asan tsan fuzz soak}
jobs=${TARN_JOBS:-2}
export TARN_SOURCE=$source_dir TARN_BUILD_ROOT=$build_root TARN_JOBS=$jobs

bash "$source_dir/scripts/setup.sh"

run_linux() {
    echo "== Linux build and tests ($build_root-linux)"
    build_dir_ready "$build_root-linux"
    cmake -S "$source_dir" -B "$build_root-linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build_root-linux" -j"$jobs"
    ctest --test-dir "$build_root-linux" -j"$jobs" --output-on-failure --timeout 600
}

run_windows() {
    echo "== Windows cross build and tests under Wine ($build_root-windows)"
    build_dir_ready "$build_root-windows"
    cmake -S "$source_dir" -B "$build_root-windows" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" >/dev/null
    cmake --build "$build_root-windows" -j"$jobs"
    source "$source_dir/scripts/wine-env.sh"
    wine_start
    trap wine_stop EXIT
    local status=0 log=$build_root-windows/tarn_tests.log
    (cd "$build_root-windows/tests" && wine_run 1200 "$log" tarn_tests.exe) || status=$?
    tr -d '\r' <"$log"
    [ "$status" -eq 124 ] && echo "tarn_tests.exe did not finish in 1200 s under Wine"
    if [ "$status" -eq 0 ]; then
        bash "$source_dir/scripts/wine-service-test.sh" "$build_root-windows" || status=$?
    fi
    if [ "$status" -eq 0 ]; then
        bash "$source_dir/scripts/wine-msi-test.sh" "$build_root-windows" || status=$?
    fi
    if [ "$status" -eq 0 ]; then
        bash "$source_dir/scripts/wine-console-test.sh" "$build_root-windows" || status=$?
    fi
    if [ "$status" -eq 0 ]; then
        bash "$source_dir/scripts/wine-tls-test.sh" "$build_root-windows" || status=$?
    fi
    wine_stop
    return "$status"
}

source "$source_dir/scripts/sanitizers.sh"

for stage in $stages; do
    case $stage in
        linux) run_linux ;;
        windows) run_windows ;;
        asan) sanitizer_asan ;;
        tsan) sanitizer_tsan ;;
        fuzz) fuzz_all "${TARN_FUZZ_SECONDS:-40}" ;;
        soak) soak_run "${TARN_SOAK_SECONDS:-120}" ;;
        *) echo "unknown stage $stage" >&2; exit 2 ;;
    esac
done
echo "== all stages passed: $stages"
