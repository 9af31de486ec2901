#!/usr/bin/env bash
# Installs what building and testing the shell needs on a Debian 12 machine.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
    cmake make ninja-build
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    wine wine64 xvfb xauth x11-apps x11-utils
    googletest
    clang libclang-rt-14-dev
    python3 imagemagick zip unzip
    php-cli php-sqlite3 openssl curl
    osslsigncode nginx php8.2-fpm postgresql-15 php8.2-pgsql wrk
    chromium chromium-driver python3-selenium
    openjdk-17-jdk-headless openjdk-17-jdk
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
