# Turns the logs of a running system into one line per event. Input is
# `tail -F` over the application's log (QVCore.log), the plug-in's log
# (QVMailPlugin.log) and the classification server's output; tail's
# "==> FILE <==" lines say which one the next lines come from. Each event is
# printed and appended to the file named by -v events=FILE.

# No sprintf: mawk's has a fixed buffer, and a message's text (a long
# Message-ID) would end the printer.
function emit(time, kind, text) {
    pad = kind
    while (length(pad) < 8) pad = pad " "
    line = time "  " pad " " text
    print line
    fflush()
    if (events != "") {
        print line >> events
        fflush(events)
    }
}

# "2026:12:09 08:46:11: text" -> time in `stamp`, the text returned.
function body(line) {
    stamp = strftime("%H:%M:%S")
    if (match(line, /^[0-9][0-9][0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]: /)) {
        stamp = substr(line, 12, 8)
        return substr(line, RLENGTH + 1)
    }
    return line
}

function after(text, prefix) {
    return substr(text, length(prefix) + 1)
}

/^==> .* <==$/ {
    source = $0
    if (source ~ /QVCore[^\/]*\.log <==$/) source = "app"
    else if (source ~ /QVMailPlugin[^\/]*\.log <==$/) source = "plugin"
    else if (source ~ /classification-server[^\/]*<==$/) source = "server"
    else source = "other"
    next
}

source == "app" {
    text = body($0)
    # The gateway's own trace lines (written while extended logging is on).
    if (text ~ /^Callgate:[\t]*dlsym\("resolve"\) succeeded$/) { emit(stamp, "engine", "loaded"); next }
    if (text ~ /^Callgate:[\t]*dlclose\(\) succeeded$/) { emit(stamp, "engine", "shut down"); next }
    if (text ~ /^Failed to shut down engine/ || text ~ /^Couldn't start engine/) { emit(stamp, "error", text); next }
    if (text ~ /^Coudn't connect to /) { emit(stamp, "error", "cannot reach the classification servers at " after(text, "Coudn't connect to ")); next }
    if (text ~ /^Lookup failed with error: /) { reason = "no score: the lookup failed with error " after(text, "Lookup failed with error: "); next }
    if (text ~ /^\*\*\* Checking for SPAM messageID /) {
        reason = "no score: the engine could not judge it"
        next
    }
    if (text == "*** NOT SPAM: whitelisted") { reason = "allow list"; next }
    if (text == "*** SPAM: blacklisted") { reason = "block list"; next }
    if (text ~ /^\*\*\* The message is inBlackList /) {
        score = text
        sub(/^.*probability /, "", score)
        reason = "score " score " below the threshold"
        next
    }
    if (text == "*** NOT SPAM: Language Receive") { reason = "language marked receive"; next }
    if (text == "*** SPAM: Language Remove") { reason = "language marked remove"; next }
    if (text == "*** SPAM: Threshold") { reason = "score " score " at or above the threshold"; next }
    if (text ~ /^\*\*\* DETECTED SPAM: /) { emit(stamp, "verdict", after(text, "*** DETECTED SPAM: ") "  spam (" reason ")"); next }
    if (text ~ /^\*\*\* DETECTED NOT SPAM: /) { emit(stamp, "verdict", after(text, "*** DETECTED NOT SPAM: ") "  not spam (" reason ")"); next }
    if (text ~ /^\*\*\* BLOCKED: /) { emit(stamp, "report", after(text, "*** BLOCKED: ") "  reported as spam"); next }
    if (text ~ /^\*\*\* BLOCKING FAILED: /) { emit(stamp, "report", after(text, "*** BLOCKING FAILED: ") "  report failed"); next }
    if (text ~ /^\*\*\* UNBLOCKED: /) { emit(stamp, "revoke", after(text, "*** UNBLOCKED: ") "  report revoked"); next }
    if (text ~ /^\*\*\* UNBLOCKING FAILED: /) { emit(stamp, "revoke", after(text, "*** UNBLOCKING FAILED: ") "  revoke failed"); next }
    next
}

source == "plugin" {
    text = body($0)
    if (text ~ /^\*\*\* PROCESSING: /) { emit(stamp, "seen", after(text, "*** PROCESSING: ")); next }
    if (text ~ /^\*\*\* BLOCKING: /) { emit(stamp, "block", after(text, "*** BLOCKING: ") "  from the toolbar"); next }
    if (text ~ /^\*\*\* UNBLOCKING: /) { emit(stamp, "unblock", after(text, "*** UNBLOCKING: ") "  from the toolbar"); next }
    if (text ~ /^\*\*\* (Transfered|Copied) message /) {
        id = text
        sub(/^\*\*\* (Transfered|Copied) message /, "", id)
        sub(/ to the (spam folder|inbox folder|inbox) .*$/, "", id)
        target = (text ~ / to the spam folder /) ? "Quorvane" : "inbox"
        result = text
        sub(/^.* with result: /, "", result)
        if (result == "YES") result = ""
        else if (result == "NO") result = " (failed)"
        else result = " (result " result ")"
        emit(stamp, "move", id "  -> " target result)
        next
    }
    if (text ~ /^\*\*\* ERROR: /) { emit(stamp, "error", after(text, "*** ERROR: ")); next }
    next
}

source == "server" {
    if ($0 ~ /^learned (report|revoke) of /) {
        split($0, word, " ")
        emit(strftime("%H:%M:%S"), "server", "learned a " word[2] " (" word[4] " fingerprints)")
    }
    next
}
