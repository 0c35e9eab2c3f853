#!/bin/sh
# The run's event printer over a plug-in log line with a 10 kB Message-ID:
# it prints that event and goes on with the next one.
set -eu
long=$(head -c 10000 /dev/zero | tr '\0' a)
printf '==> /run/QVMailPlugin.log <==\n2026:12:09 08:46:11: *** PROCESSING: <%s@x>\n2026:12:09 08:46:12: *** PROCESSING: <next@x>\n' "$long" |
    awk -f "$1" | grep -q '^08:46:12  seen     <next@x>$'
