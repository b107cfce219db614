#!/usr/bin/env bash
# Lays out a runtime folder with `counter` as a CGI program and runs lighttpd on it in the
# foreground (Ctrl-C stops it). The database counter.ostra is created beside the program by
# the first request.
# Usage: scripts/serve.sh COUNTER_BINARY RUNTIME_DIR [PORT]   (PORT defaults to 8080)
set -euo pipefail
binary=$(realpath "$1")
runtime=$(mkdir -p "$2" && realpath "$2")
port=${3:-8080}
# The port as a Host header names it: browsers leave out the default one.
host_port=":$port"
[[ $port == 80 ]] && host_port="(:80)?"

mkdir -p "$runtime/cgi-bin" "$runtime/htdocs" "$runtime/logs"
# A copy, not a link: the program finds its database beside its own path.
install -m 0755 "$binary" "$runtime/cgi-bin/counter"
[[ -f "$runtime/htdocs/index.html" ]] ||
  echo '<html><body><a href="/cgi-bin/counter?page=admin">Kestrow Web Access</a></body></html>' >"$runtime/htdocs/index.html"

cat >"$runtime/lighttpd.conf" <<CONF
server.modules = ("mod_access", "mod_alias", "mod_cgi")
server.document-root = "$runtime/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$runtime/logs/error.log"
server.breakagelog = "$runtime/logs/cgi-stderr.log"
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html")
alias.url = ("/cgi-bin/" => "$runtime/cgi-bin/")
\$HTTP["url"] =~ "^/cgi-bin/" {
  cgi.assign = ("" => "")
}
# Only requests for the address served: a page of another name made to resolve to this
# machine (DNS rebinding) would otherwise be the program's own origin and read its proof.
\$HTTP["host"] !~ "^(127\\.0\\.0\\.1|localhost)$host_port\$" {
  url.access-deny = ("")
}
CONF

lighttpd -tt -f "$runtime/lighttpd.conf" >/dev/null
echo "Kestrow Web Access: http://127.0.0.1:$port/cgi-bin/counter?page=admin"
exec lighttpd -D -f "$runtime/lighttpd.conf"
