#!/bin/sh
# The demo's installer: "flashes" a package into a fake device folder.
# Called as: flash-installer.sh DEVICE_FOLDER PACKAGE DEVICE_ID
# Exits non-zero (and the agent reports the update as failed) when the
# package is empty or the device folder cannot be written.
set -eu
folder="$1" package="$2" device="${3:-unknown}"
[ -s "$package" ] || { echo "flash-installer: empty package $package" >&2; exit 4; }
mkdir -p "$folder/$device"
cp "$package" "$folder/$device/firmware.bin.part"
mv "$folder/$device/firmware.bin.part" "$folder/$device/firmware.bin"
echo "flash-installer: $(basename "$package") flashed to device $device"
