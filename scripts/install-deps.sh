#!/bin/sh
# Installs every Debian 12 package the build and the tests need. Run as root;
# safe to run again.
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
    build-essential \
    cmake \
    ninja-build \
    pkg-config \
    git \
    python3 \
    binutils \
    libboost-dev \
    libboost-locale-dev \
    libboost-system-dev \
    libboost-iostreams-dev \
    libicu-dev \
    qt6-base-dev \
    qt6-base-dev-tools \
    qt6-svg-dev \
    dbus \
    xvfb \
    xauth \
    openbox \
    x11-utils \
    xdotool \
    fonts-dejavu-core \
    unzip \
    pkexec \
    zip \
    googletest \
    libgtest-dev \
    libgmock-dev \
    libbenchmark-dev \
    libgmime-3.0-dev \
    libpython3.11-testsuite \
    clang \
    libclang-rt-14-dev \
    llvm \
    w3m \
    libssl-dev \
    spamassassin \
    clang-format
