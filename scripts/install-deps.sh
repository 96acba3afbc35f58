#!/usr/bin/env bash
# Installs with apt-get what the build, the tests, the fuzzers and the benchmark need
# (only the packages that are missing).
set -euo pipefail
PACKAGES=(cmake g++ make pkg-config libboost-filesystem-dev libboost-system-dev libgtest-dev libgmock-dev
          libbenchmark-dev libcurl4-openssl-dev libpng-dev libcli11-dev ffmpeg nginx-light
          clang-14 libclang-rt-14-dev clang-format valgrind gstreamer1.0-tools gstreamer1.0-plugins-good
          libsndfile1-dev nlohmann-json3-dev libturbojpeg0-dev libavformat-dev libavcodec-dev
          libswscale-dev libavutil-dev pybind11-dev python3-dev python3-numpy python3-opencv
          python3-pytest python3-dask python3-distributed python3-fsspec python3-venv python3-pip
          python3-setuptools curl openssl swift swift-proxy swift-account swift-container
          swift-object python3-boto3)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

