#!/bin/bash
# The command line of the real zpm: usage, version, options help, the single mode, the vote
# flags, the options string, unknown options and the name list.
source "$(dirname "$0")/lib.sh"

setup_root

usage_of() { printf 'Usage: %s [options]\n\n%s' "$1" "$USAGE_ROWS"; }
USAGE_ROWS=$'  --help,\t-h\t\t\tDisplays this information
  --help,\t-H\t\t\tshow extended usage
  --install,\t-I\t\t\tinstall packages
  --update,\t-U\t\t\tupdate packages
  --delete,\t-D\t\t\tdelete package
  --query,\t-Q\t\t\tquery a package
  --search,\t-S\t\t\tsearch a package
  --list,\t-L\t\t\tList packages
  --refresh,\t-R\t\t\tRefresh package store
  --pin,\t-P\t\t\tPin an installed packace
  --file,\t-F\t\t\tFind package containing file
  --contents,\t-C\t\t\tList contents of package
  --walk,\t-W\t\t\tWalk all dependencies of package
  --interactiv,\t-i\t\t\tAsk about anything (default)
  --defaults,\t-d\t\t\tUse defaults, else ask
  --force,\t-f\t\t\tNever ask, abort if neccessary
  --refresh,\t-r\t\t\trefresh catalogue before action
  --dry-run,\t-n\t\t\tonly pretend
  --logfile,\t-l <args>\t\tlog to this file
  --options,\t-o <args>\t\toptions, see -o help for details
  --verbose,\t-v\t\t\tShow verbose output
  --version,\t-V\t\t\tShow version information'
USAGE=$(usage_of zpm)

# Usage on standard output, status 0, nothing else.  The scanner itself (-h anywhere, a
# missing option argument) names the program as it was called.
for args in "" "-H" "-I -H" "-o help" "-n foo" "-H -H"; do
  zpm_run $args
  check_eq "usage for '$args'" "0|$USAGE|" "$RC|$OUT|$ERR"
done
for args in "-I -o" "-Q foo bar -h" "-x --help" "-o -I" "-l -v" "-h"; do
  zpm_run $args
  check_eq "scanner usage for '$args'" "0|$(usage_of /usr/bin/zpm)|" "$RC|$OUT|$ERR"
done
check_eq "usage shows no dialog" 0 "$(yad_calls)"

# Version: standard error, before anything after it is looked at.
for args in "-V" "-V -Z" "-I -V -U" "--version"; do
  zpm_run $args
  check_eq "version for '$args'" "0|zpm 1.0.24|" "$RC|$ERR|$OUT"
done

# Options help: one section for a mode, every section without one.
INTRO=$'\nOptions are specified in the form of: -o "opt1=val1,opt2=val2,opt3=val3,..."\n'
SEARCH=$'\nOptions for mode -S (search):
  variant        : variant to use. On empty value, use default variant.
  outform        : output format, one of: text, csv, xml, ldif.
  debug          : true: run in debug mode. This will produce loads of messages. Default is false'
for args in "-o help -S" "-S -o help" "--search --options help"; do
  zpm_run $args
  check_eq "options help for '$args'" "0|$INTRO$SEARCH" "$RC|$OUT"
done
zpm_run -W -o help
check_eq "walk has no section" "0|${INTRO%$'\n'}" "$RC|$OUT"
zpm_run -P -o help
check_contains "pin section" $'\nOptions for mode -P (pin):\n  version        : pin to given version instead of current.\n' "$OUT"

# Failures while reading the command line.
zpm_run -i -f -I x
check_eq "two vote flags: status" 1 "$RC"
check_eq "two vote flags: message" "Only one of -d, -i or -f may be specified" "$ERR"
check_eq "two vote flags: usage follows" "$USAGE" "$OUT"
zpm_run -d -d -Q x
check_eq "same vote flag twice" "1|Only one of -d, -i or -f may be specified" "$RC|$ERR"
for args in "-I -U" "-I -I x" "-Q -S -L" "--walk -W x"; do
  zpm_run $args
  check_eq "'$args': more than one action" "1|More than one action specified" "$RC|$ERR"
done
rm -f "$ZR/etc/zpm.conf"
zpm_run -i -f -I x
check_eq "vote flags checked before the config is read" 1 "$RC"
check_not_contains "no config message yet" "Failed to read zpm config" "$ERR"
zroot_install "$ZPM_BUILD"

# The options string: the first 1024 characters count.
long=$(printf 'v%.0s' $(seq 5000))
zpm_run -P -o "debug=true,variant=$long"
check_eq "5000-char options string: status" 0 "$RC"
shown=$(sed -n 's/^variant *: <\(.*\)>$/\1/p' <<<"$OUT")
check_eq "5000-char options string cut to 1024" $((1024 - 19)) "${#shown}"
zpm_run -P -o "debug=TRUE,debug=false"
check_not_contains "last debug wins" "debug               : <" "$OUT"
zpm_run -P -o "debug"
check_eq "debug without a value does nothing" "" "$OUT"

# Flags and vote modes reach the modes (the log tells the vote mode).
printf 'zpm_loglevel=15\n' >> "$ZR/etc/zpm.conf"
vote_logged() { grep -o 'Running in [a-z-]* mode' "$ZR/var/log/zpm.log" | tail -n 1; }
zpm_run -P -d -o vote=ask
check_eq "-d wins over vote=ask" "Running in defaults mode" "$(vote_logged)"
zpm_run -P -o vote=FORCE
check_eq "vote=FORCE" "Running in non-interactive mode" "$(vote_logged)"
zpm_run -P -o vote=whatever
check_eq "unknown vote value" "Running in interactive mode" "$(vote_logged)"

# Unknown options: ignored, but the name list starts earlier.
zpm_run -F -x /usr/bin/true
check_eq "unknown option becomes the first name" 1 "$RC"
check_contains "the name is -x" "File -x was not found" "$ERR"
zpm_run -Q -q
check_eq "unknown option only: query of it" 0 "$RC"

finish
