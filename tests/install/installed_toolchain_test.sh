#!/usr/bin/env bash
# Installs one flavour's build into a fresh staging prefix, moves the
# installed tree elsewhere, and builds the consumer project (consumer/)
# against it twice, through the CMake package and through pkg-config, then
# runs both on the pool, on a device where the GPU-presenting library is
# given, and with two of the installed agents.
# For the x86-64 flavour it also makes the Debian package and checks what it
# holds.  The installed unit passes systemd-analyze where that tool exists;
# with ZEQ_REQUIRE_ALL_TESTS set (non-empty) its absence is a failure.
#
#   installed_toolchain_test.sh <flavour> <zeq-source> <build> <consumer> <run_with_agents.sh>
#
# Environment: ZEQ_RUN_PREFIX, the emulator of the i386 flavour where one is
# needed (empty otherwise); OPENCL_GPU_SHIM_DIR, the folder of the library
# that presents PoCL's CPU device as a GPU (empty: no device run).
#
# The consumer is copied out of the tree first, and its build files must not
# name the source tree or the build folder: whatever it uses has to come from
# the staging prefix.
set -euo pipefail
flavour=$1 source_tree=$2 build=$3 consumer=$4 run_with_agents=$5
emulator=${ZEQ_RUN_PREFIX:-}
shim=${OPENCL_GPU_SHIM_DIR:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/zeq_install_XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
step() { echo "== $*"; }

if [[ $flavour == i386 ]]; then
    arch=i386-linux-gnu
    programs=$work/prefix/lib/$arch/zeq/bin
    unit=zeqworker-i386@.service
    sbatch=zeqworker-i386.sbatch
    flags=(-m32)
    cmake_flavour=(-DCMAKE_CXX_FLAGS=-m32 -DCMAKE_LIBRARY_ARCHITECTURE=$arch)
    [[ -n $emulator ]] && cmake_flavour+=("-DCMAKE_CROSSCOMPILING_EMULATOR=$emulator")
else
    arch=x86_64-linux-gnu
    programs=$work/prefix/bin
    unit=zeqworker@.service
    sbatch=zeqworker.sbatch
    flags=()
    cmake_flavour=()
fi
lib=$work/prefix/lib/$arch

step "cmake --install into the staging prefix"
cmake --install "$build" --prefix "$work/installed" >"$work/install.log"
if command -v systemd-analyze >/dev/null; then
    step "systemd-analyze verify $unit"
    # An instance of the template, as systemctl would start it.
    units=$work/units
    mkdir -p "$units" "$work/server"
    cp "$work/installed/lib/systemd/system/$unit" "$units/"
    instance=${unit/@.service/@$(systemd-escape --path "$work/server").service}
    # Any message counts: systemd-analyze reports bad settings and still exits 0.
    if ! report=$(systemd-analyze verify "$units/$instance" 2>&1) || [[ -n $report ]]; then
        fail "systemd-analyze verify: $report"
    fi
elif [[ -n ${ZEQ_REQUIRE_ALL_TESTS:-} ]]; then
    fail "systemd-analyze is not installed (Debian package systemd): the unit is not verified"
else
    echo "systemd-analyze is not installed: the unit is not verified"
fi

# The batch script starts the agent of this install, and parses.
step "the Slurm batch script $sbatch"
script=$work/installed/share/zeq/$sbatch
bash -n "$script" || fail "$sbatch does not parse"
grep -qxF "exec \"\${ZEQWORKER:-${programs/$work\/prefix/$work/installed}/zeqworker}\" \"\$1\"" "$script" ||
    fail "$sbatch does not start the installed agent: $(grep '^exec' "$script")"
[[ -x $script ]] || fail "$sbatch is not executable"

# Everything but the unit finds the rest relative to itself: from here on the
# test uses the installed tree moved elsewhere.
mv "$work/installed" "$work/prefix"
for f in "$lib/libZeq.so.1" "$lib/libDeviro.so" "$lib/cmake/Zeq/ZeqConfig.cmake" \
         "$lib/cmake/Zeq/ZeqConfigVersion.cmake" "$lib/pkgconfig/zeq.pc" \
         "$work/prefix/include/zeq/Zeq.h" "$work/prefix/include/zeq/zeq_runtime.h" "$work/prefix/include/zeq/zeq_coload.h" \
         "$work/prefix/include/zeq/zeq_dialect.h" "$work/prefix/include/zeq/zeq_host.h" "$work/prefix/include/zeq/remote/io.h" \
         "$work/prefix/lib/systemd/system/$unit" "$work/prefix/share/zeq/$sbatch" \
         "$programs/zeqworker" "$programs/zeqcuda" "$programs/zeqopencl" "$programs/zeqremote" "$programs/zeqopenmp" \
         "$programs/zeqhost"; do
    [[ -e $f ]] || fail "not installed: ${f#$work/prefix/}"
done
soname=$(readelf -d "$lib/libZeq.so.1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[[ $soname == libZeq.so.1 ]] || fail "libZeq's SONAME is '$soname', not libZeq.so.1"
# ldconfig takes the library folder as it is: it would warn on a file it
# mistook for a broken library (libDeviro.so is a linker script).
ldconfig=$(PATH=$PATH:/sbin:/usr/sbin command -v ldconfig || true)
if [[ -n $ldconfig ]] && ! report=$("$ldconfig" -n "$lib" 2>&1) || [[ -n ${report:-} ]]; then
    fail "ldconfig on the library folder: $report"
fi

# Runs the consumer program $1 (the pool, then a device where the shim is
# given, then two installed agents) and checks what it says.
run_consumer() {
    local program=$1 label=$2 out
    out=$($emulator "$program" 20011 2 2>&1) || { fail "$label on the pool: $out"; return; }
    [[ $out == *"all correct"* ]] || fail "$label on the pool: $out"
    if [[ -n $shim ]]; then
        out=$(env LD_LIBRARY_PATH="$shim" $emulator "$program" 20011 2 2>&1) || { fail "$label with a device: $out"; return; }
        [[ $out == *"all correct"* && $out =~ devices\ [1-9] ]] || fail "$label with a device: $out"
        echo "$label with a device: $(head -1 <<<"$out")"
    fi
    out=$(ZEQ_RUN_PREFIX="$emulator" bash "$run_with_agents" 2 "$programs/zeqworker" "$program" 20011 2 2>&1) ||
        { fail "$label with agents: $out"; return; }
    [[ $out == *"all correct"* && $out =~ agents\ [1-9] ]] || fail "$label with agents: $out"
    echo "$label with agents: $(sed -n 2p <<<"$out")"
}

step "the consumer project through find_package(Zeq)"
cp -r "$consumer" "$work/consumer"
if cmake -S "$work/consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
         "${cmake_flavour[@]}" >"$work/configure.log" 2>&1 &&
   cmake --build "$work/cmake-build" >"$work/build.log" 2>&1; then
    for f in build.ninja CMakeCache.txt; do
        if grep -qF -e "$source_tree" -e "$(cd "$build" && pwd)" "$work/cmake-build/$f"; then
            fail "the consumer's $f names the Zeq tree: $(grep -oF -e "$source_tree" "$work/cmake-build/$f" | head -1)"
        fi
    done
    run_consumer "$work/cmake-build/blend" "CMake package"
else
    fail "the consumer project did not configure or build:"; cat "$work"/configure.log "$work"/build.log 2>/dev/null | tail -30
fi

step "the same program with pkg-config's flags"
export PKG_CONFIG_PATH=$lib/pkgconfig
pc=$work/pkg-config
mkdir -p "$pc"
read -r -a zeq_flags <<<"$(pkg-config --cflags --libs zeq)"
libdir=$(pkg-config --variable=libdir zeq)
remote_includes=$(pkg-config --variable=remote_includedir zeq)
translators=$(pkg-config --variable=translators zeq)
if $emulator "$translators/zeqhost" "$work/consumer/blend.zeq" >"$pc/blend_host.cpp" &&
   $emulator "$translators/zeqhost" --lines "$work/consumer/blend.zeq" >"$pc/blend_lines.h" &&
   $emulator "$translators/zeqopencl" "$work/consumer/blend.zeq" >"$pc/blend.ocl" &&
   $emulator "$translators/zeqremote" "$work/consumer/blend.zeq" >"$pc/blend_net.cpp" &&
   c++ "${flags[@]}" -O2 "$pc/blend_host.cpp" "${zeq_flags[@]}" -Wl,-rpath,"$libdir" -o "$pc/blend" &&
   c++ "${flags[@]}" -O2 -shared -fPIC -fvisibility=hidden -I"$remote_includes" "$pc/blend_net.cpp" \
       "${zeq_flags[@]}" -Wl,--version-script="$remote_includes/remote_module.map" -o "$pc/blend_net.so"; then
    # The entry point is named after the construct's line, as zeqhost --lines tells it.
    entry=fline$(sed -n 's/^#define ZEQ_LINE_blend //p' "$pc/blend_lines.h")
    exports=$(nm -D --defined-only "$pc/blend_net.so" | awk '$2 == "T" {print $3}' | tr '\n' ' ')
    [[ $exports == "$entry " ]] || fail "the pkg-config module exports '$exports', not $entry alone"
    run_consumer "$pc/blend" "pkg-config"
else
    fail "the pkg-config build failed"
fi

if [[ $flavour == x86_64 ]]; then
    step "the Debian package"
    if cpack --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1; then
        deb=$(ls "$work"/deb/zeq_*_amd64.deb)
        contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
        for f in ./usr/bin/zeqworker ./usr/bin/zeqcuda ./usr/bin/zeqopencl ./usr/bin/zeqremote ./usr/bin/zeqopenmp ./usr/bin/zeqhost \
                 ./usr/lib/$arch/libZeq.so.1.0.0 ./usr/lib/$arch/libDeviro.so ./usr/include/zeq/Zeq.h ./usr/include/zeq/zeq_runtime.h \
                 ./usr/include/zeq/zeq_host.h \
                 ./usr/include/zeq/zeq_coload.h ./usr/include/zeq/zeq_dialect.h ./usr/include/zeq/remote/intrin.h \
                 ./usr/lib/$arch/cmake/Zeq/ZeqConfig.cmake ./usr/lib/$arch/cmake/Zeq/ZeqTranslate.cmake \
                 ./usr/lib/$arch/pkgconfig/zeq.pc ./usr/lib/systemd/system/zeqworker@.service \
                 ./usr/share/zeq/zeqworker.sbatch; do
            grep -qxF "$f" <<<"$contents" || fail "the package lacks $f"
        done
        dpkg-deb --contents "$deb" | grep 'libZeq.so.1 -> libZeq.so.1.0.0' >/dev/null || fail "the package lacks the link libZeq.so.1"
        depends=$(dpkg-deb --field "$deb" Depends)
        suggests=$(dpkg-deb --field "$deb" Suggests)
        [[ $depends == *libc6* && $depends == *adduser* ]] || fail "Depends: '$depends'"
        [[ $depends != *pocl* && $depends != *opencl* && $depends != *cuda* ]] || fail "a device is required: '$depends'"
        [[ $suggests == *pocl-opencl-icd* && $suggests == *libcuda1* ]] || fail "Suggests: '$suggests'"
        # The unit was written for the package's prefix, not the build's.
        exec_start=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/zeqworker@.service |
                     sed -n 's/^ExecStart=//p')
        [[ $exec_start == '/usr/bin/zeqworker ${ZEQ_SERVER}' ]] || fail "the package's unit starts '$exec_start'"
        sbatch_exec=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/zeq/zeqworker.sbatch | grep '^exec')
        [[ $sbatch_exec == 'exec "${ZEQWORKER:-/usr/bin/zeqworker}" "$1"' ]] || fail "the package's batch script: '$sbatch_exec'"
        control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
        grep -x './postinst' <<<"$control" >/dev/null || fail "the package has no postinst"
        [[ $(dpkg-deb --info "$deb" triggers) == "activate-noawait ldconfig" ]] || fail "the package does not trigger ldconfig"
        dpkg-deb --field "$deb" Package Version Architecture Depends Suggests
    else
        fail "cpack failed:"; tail -30 "$work/cpack.log"
    fi
fi

if (( failures )); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "the installed toolchain works ($flavour)"
