#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Zeq needs, and nothing
# when they are all present.  Installing needs root (apt-get); without it the
# script names the missing packages and stops, so a build never half-works.
set -euo pipefail

packages=(
  cmake ninja-build g++ gcc-multilib g++-multilib   # both flavours
  libasan8 libubsan1 libtsan2                       # gcc's ASan, UBSan (build-asan/) and TSan (build-tsan/) runtimes
  googletest libbenchmark-dev                       # tests and benchmarks
  clang lld libclang-rt-14-dev libomp-dev           # OpenMP end-to-end programs, fuzzers, peers
  pocl-opencl-icd ocl-icd-opencl-dev opencl-headers # a real OpenCL on the CPU
  libpng-dev                                        # the N-body demo's picture
  qemu-user                                         # runs i386 tests where the kernel cannot
  sshfs openssh-server openssh-client               # the agents' tests on a network folder (fuse3 comes with sshfs)
  pkg-config dpkg-dev file                          # the installed toolchain's tests: pkg-config, CPack's Debian package
  systemd                                           # systemd-analyze, for the installed agents' unit
  slurmctld slurmd slurm-client                     # the agents-on-a-cluster test's private Slurm
)
# Packages whose daemons the tests start themselves, privately: installing
# them must not start the machine's own.
quiet_services=(slurmctld slurmd)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "Zeq needs these Debian packages, which are not installed: ${missing[*]}" >&2
  echo "Install them as root:  apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# A policy-rc.d that refuses every start keeps the daemons' packages from
# starting them on install (invoke-rc.d and deb-systemd-invoke both ask
# it); one that is there already (a container's) is left as it is.
policy=/usr/sbin/policy-rc.d
for p in "${missing[@]}"; do
  if [[ " ${quiet_services[*]} " == *" $p "* && ! -e $policy ]]; then
    printf '#!/bin/sh\n# Written by install-deps.sh while it installs; removed after.\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    trap 'rm -f "$policy"' EXIT
    break
  fi
done
apt-get install -y -qq --no-install-recommends "${missing[@]}"
