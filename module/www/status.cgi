#!/bin/sh
# Status page of the QuillMesh module (CGI, run by the router's web server): the daemon's last
# state line from the log and the current settings. Reads files only; changes nothing.
MODULE_DIR=/opt/quillmesh
LOG=/var/log/messages

# Escapes text for HTML.
esc() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g'; }

# Rows of a settings file: key and value, the value without its surrounding double quotes.
settings_rows() {
    if [ ! -r "$1" ]; then
        echo "<tr><td colspan=\"2\">not readable</td></tr>"
        return
    fi
    tr -d '\r' <"$1" | grep '=' | esc | awk '{
        i = index($0, "="); key = substr($0, 1, i - 1); value = substr($0, i + 1)
        if (value ~ /^&quot;.*&quot;$/) value = substr(value, 7, length(value) - 12)
        printf "<tr><th><code>%s</code></th><td>%s</td></tr>\n", key, value
    }'
}

running=no
for dir in /proc/[0-9]*; do
    [ "$(cat "$dir/comm" 2>/dev/null)" = quillmeshd ] || continue
    grep -q '^State:[[:space:]]*Z' "$dir/status" 2>/dev/null && continue
    running=yes
    break
done

state_line=$(grep 'quillmeshd\[[0-9]*\]: RM STATE: ' "$LOG" 2>/dev/null | tail -n 1)
if [ -n "$state_line" ]; then
    state_when=$(printf '%s\n' "$state_line" | cut -c1-15 | esc)
    state_text=$(printf '%s\n' "$state_line" | sed 's/.*quillmeshd\[[0-9]*\]: //' | esc)
    state_name=$(printf '%s\n' "$state_line" | sed -n 's/.*RM STATE: [0-9]* (\(.*\))\. State counter: .*/\1/p' | esc)
else
    state_when=
    state_text="No state line in $LOG yet."
    state_name=unknown
fi

printf 'Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n\r\n'
cat <<HTML
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>QuillMesh status</title>
<style>
body { font-family: sans-serif; margin: 0.8em; color: #222; font-size: 16px; }
h1 { font-size: 1.4em; margin: 0.2em 0 0.6em; }
h2 { font-size: 1.1em; margin: 1.2em 0 0.4em; word-break: break-all; }
.state { border: 1px solid #bbb; border-radius: 6px; padding: 0.6em; background: #f4f7fb; }
.state .name { font-size: 1.3em; font-weight: bold; }
.state code { display: block; margin-top: 0.4em; word-break: break-word; }
table { border-collapse: collapse; width: 100%; }
th, td { border-bottom: 1px solid #ddd; padding: 0.35em 0.3em; text-align: left; vertical-align: top; }
th { font-weight: normal; width: 55%; }
th code { word-break: break-all; font-size: 0.85em; }
td { word-break: break-all; }
</style>
</head>
<body>
<h1>QuillMesh status</h1>
<div class="state" id="state">
<div class="name">$state_name</div>
<div>Daemon running: <b id="running">$running</b></div>
<code id="state-line">$state_when $state_text</code>
</div>
<h2>Module settings <code>$MODULE_DIR/etc/settings</code></h2>
<table id="settings">
$(settings_rows "$MODULE_DIR/etc/settings")
</table>
<h2>Tunnel settings <code>$MODULE_DIR/etc/settings.ovpn</code></h2>
<table id="settings-ovpn">
$(settings_rows "$MODULE_DIR/etc/settings.ovpn")
</table>
<p><a href="index.html">What the settings mean</a></p>
</body>
</html>
HTML
