#!/bin/sh
# Delivers the sample messages into a Maildir one at a time, as a delivery
# agent does (written into tmp/, then renamed into new/), and waits for each
# verdict in the event log. Then the collaborative road: the first message
# of a campaign is judged not spam, blocked from the mail host's toolbar and
# so reported; the second message of the campaign, delivered after the
# report, is caught by its score.
#
#   deliver-samples.sh --maildir DIR --events FILE [--scripted-block]
#
# With --scripted-block the Block is a scripted click of the mail host's
# toolbar; otherwise the user clicks it in the mail host's window.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
samples=$root/tests/e2e/samples
maildir=
events=
scripted_block=
while [ $# -gt 0 ]; do
    case $1 in
    --maildir) maildir=$2; shift 2 ;;
    --events) events=$2; shift 2 ;;
    --scripted-block) scripted_block=1; shift ;;
    *) echo "deliver-samples: unknown argument: $1" >&2; exit 2 ;;
    esac
done
if [ ! -d "$maildir/new" ] || [ ! -f "$events" ]; then
    echo "deliver-samples: needs --maildir and --events" >&2
    exit 2
fi

say() {
    echo "$(date +%H:%M:%S)  $*"
}

message_id() {
    sed -n '/^$/q; s/^Message-ID: *//Ip' "$1" | head -n 1
}

count=0
deliver() {
    count=$((count + 1))
    name=$(date +%s).P$$Q$count.$(uname -n | tr '/:' '__')
    cp "$1" "$maildir/tmp/$name"
    say "deliver  $(basename "$1") as new/$name"
    mv "$maildir/tmp/$name" "$maildir/new/$name"
}

# seen_event KIND ID SECONDS: waits for the event; 0 seconds waits for ever.
seen_event() {
    tenths=$(($3 * 10))
    while ! grep -qF "  $(printf '%-8s' "$1") $2" "$events"; do
        if [ "$3" -gt 0 ]; then
            tenths=$((tenths - 1))
            [ "$tenths" -gt 0 ] || return 1
        fi
        sleep 0.1
    done
}

# The mail host's scripting interface: select a message by its Message-ID in
# the viewer, then press a segment of a toolbar item, as a click would.
host() {
    method=$1
    shift
    dbus-send --session --print-reply --dest=org.quorvane.MailHost /org/quorvane/MailHost \
        "org.quorvane.MailHost.$method" "$@" >/dev/null
}

for sample in 01-block-listed-sender 02-allow-listed-sender-spam-text 03-test-pattern \
    04-language-marked-remove 05-ordinary-mail 06-campaign-first; do
    file=$samples/$sample.eml
    deliver "$file"
    seen_event verdict "$(message_id "$file")" 20 || say "note     no verdict on $sample.eml within 20 s"
done

first=$(message_id "$samples/06-campaign-first.eml")
if [ -n "$scripted_block" ]; then
    say "click    Block on $first in the mail host's toolbar"
    if ! host SelectMessage "string:$first" || ! host ClickToolbarItem string:QV_QUORVANE int32:0; then
        say "note     the mail host did not take the click"
    fi
    seen_event report "$first" 20 || say "note     no report of $first within 20 s"
else
    say "waiting  select \"Spring collection: watches from 19 dollars\" in the mail host and press Block"
    seen_event report "$first" 0
fi
# Give the server a moment to learn from the report before the second
# message of the campaign arrives.
seen_event server "learned a report" 10 || true
deliver "$samples/07-campaign-second.eml"
seen_event verdict "$(message_id "$samples/07-campaign-second.eml")" 20 || say "note     no verdict on the second campaign message"
say "samples  all delivered"
