#!/bin/sh
# Kestrel sends every instrument command through this script:
#   sendArbcmd.sh ADDRESS PORT COMMAND
# Whatever it prints is the reply. It hands the three arguments unchanged to
# kestrel-scpi, which talks SCPI over TCP (see kestrel-scpi --help).
# scripts/install-sendarbcmd.sh copies it into $HOME with the path below filled in.
scpi='@KESTREL_SCPI@'
if [ ! -x "$scpi" ]; then
    echo "sendArbcmd.sh: no kestrel-scpi at $scpi (run scripts/install-sendarbcmd.sh --force)" >&2
    exit 1
fi
exec "$scpi" -- "$@"
