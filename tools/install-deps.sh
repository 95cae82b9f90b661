#!/bin/bash
# Installs the Debian packages the build and the tests need, if missing.
set -euo pipefail
PKGS="cmake g++ make pkg-config libtinyxml-dev libgtest-dev iproute2 ${EXTRA_PKGS:-}"
missing=""
for p in $PKGS; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" != "0" ]; then
        echo "missing packages:$missing (run as root to install them)" >&2
        exit 1
    fi
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $missing
fi
