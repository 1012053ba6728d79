#!/bin/sh
# The demonstration: builds the host tier (installing what is missing) and
# shows one installation, run and removal of the kit in a scratch folder.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host >/dev/null
exec scripts/demo-cycle.sh build/host
