# Stand-ins for the UCI, procd and log commands an init script calls:
# config_load reads a UCI file from $UCI_CONFIG_DIR (a list's items joined by
# blanks, as config_get gives them); procd_* print what they get.
config_load() {
	eval "$(awk -v q="'" '
		$1 == "config" { s = $3; gsub(q, "", s) }
		$1 == "option" {
			v = $0; sub(/^[ \t]*option[ \t]+[^ \t]+[ \t]+/, "", v); gsub(q, "", v)
			printf "CONFIG_%s_%s=%s%s%s\n", s, $2, q, v, q
		}
		$1 == "list" {
			v = $0; sub(/^[ \t]*list[ \t]+[^ \t]+[ \t]+/, "", v); gsub(q, "", v)
			k = s "_" $2; items[k] = (k in items) ? items[k] " " v : v
			printf "CONFIG_%s=%s%s%s\n", k, q, items[k], q
		}' "$UCI_CONFIG_DIR/$1")"
}
config_get() {
	eval "__v=\${CONFIG_$2_$3-}"
	[ -n "$__v" ] || __v=$4
	eval "$1=\$__v"
}
# Each 'option:type[:default]' as config_get gives it; types are not checked.
uci_validate_section() {
	local config=$1 section=$3 spec name rest
	shift 3
	config_load "$config"
	for spec; do
		name=${spec%%:*} rest=${spec#*:}
		case "$rest" in *:*) rest=${rest#*:} ;; *) rest= ;; esac
		config_get "$name" "$section" "$name" "$rest"
	done
}
logger() { echo "logger $*"; }
procd_open_instance() { echo open; }
procd_set_param() { __p=$1; shift; echo "set $__p $*"; }
procd_append_param() { __p=$1; shift; echo "append $__p $*"; }
procd_close_instance() { echo close; }
procd_add_reload_trigger() { :; }
