#!/usr/bin/env bash
# Installs what Trawlbox needs to build and test, from Debian's packages.
# Safe to run again: packages already present are skipped. Needs root.
# Usage: scripts/install-deps.sh [build|test]
set -euo pipefail

want=${1:-test}

build_pkgs=(
    cmake g++ make pkg-config clang-format
    libpcre2-dev
    libssl-dev
    libc-ares-dev
    libsqlite3-dev
    libcurl4-openssl-dev
    nlohmann-json3-dev
    libcpp-httplib-dev
    libsystemd-dev
    dpkg-dev file            # the package's library dependencies (dpkg-shlibdeps)
    libgtest-dev libgmock-dev libbenchmark-dev
)
test_pkgs=(clang libclang-rt-14-dev dovecot-core dovecot-pop3d inn2 sasl2-bin fetchmail
           perdition openssl python3 procps tmux iproute2
           chromium chromium-driver python3-selenium
           systemd man-db groff-base adduser)

pkgs=("${build_pkgs[@]}")
[ "$want" = test ] && pkgs+=("${test_pkgs[@]}")

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}; run this script as root to install them" >&2
    exit 1
fi

# The servers are only ever started privately by the tests: keep the package
# scripts from starting system services while they install.
made_policy=0
if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod +x /usr/sbin/policy-rc.d
    made_policy=1
fi
cleanup() { [ $made_policy -eq 1 ] && rm -f /usr/sbin/policy-rc.d; return 0; }
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
unset INNCONF
apt-get update -qq
keep=(-o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)
apt-get install -y -qq --no-install-recommends "${keep[@]}" "${missing[@]}" || {
    # The news server's install script fails on a host name without a
    # domain; a domain line in its configuration lets it finish.
    for f in /etc/news/inn.conf /etc/news/inn.conf.dpkg-new; do
        [ -f "$f" ] && ! grep -q '^domain:' "$f" && echo 'domain: localdomain' >> "$f"
    done
    [ -f /etc/news/inn.conf.dpkg-new ] && mv /etc/news/inn.conf.dpkg-new /etc/news/inn.conf
    dpkg --force-confdef --force-confold --configure -a
    apt-get install -y -qq --no-install-recommends "${keep[@]}" "${missing[@]}"
}
