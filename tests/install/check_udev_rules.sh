#!/usr/bin/env bash
# Checks Quorvel's udev rules file without udev (Debian 12's udevadm has no
# "verify"): every rule line must parse as KEY[{attr}]OP"value" pairs joined
# by commas, with keys and operators udev knows; every GOTO needs its LABEL;
# USB IDs must be written as sysfs does (four lower-case hex digits); the
# devices named, and no other USB device, and the display I2C buses must get
# TAG+="uaccess".
#   check_udev_rules.sh FILE VENDOR:PRODUCT...   exit 0 when sound; the faults go to stderr
set -uo pipefail

file=$1
shift
devices=("$@")
faults=0
fault() { echo "$file: $*" >&2; faults=$((faults + 1)); }

match_keys=" ACTION SUBSYSTEM SUBSYSTEMS KERNEL KERNELS DRIVER DRIVERS TAG TAGS ATTR ATTRS ENV "
assign_keys=" TAG ENV GOTO LABEL "
keyed=" ATTR ATTRS ENV "

declare -A labels=() gotos=()
rules=()  # each rule as "|token|token|...|", tokens written KEY{attr}OP"value"

number=0
while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    start=$number
    while [[ $line == *\\ ]] && IFS= read -r next; do
        number=$((number + 1))
        line="${line%\\}$next"
    done
    [[ $line =~ ^[[:space:]]*(#|$) ]] && continue

    rest=$line
    rule="|"
    actions=0
    while :; do
        if ! [[ $rest =~ ^[[:space:]]*([A-Z]+)(\{([^}]*)\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*\"([^\"]*)\"[[:space:]]*(,?)(.*)$ ]]; then
            fault "line $start: cannot read '$rest'"
            break
        fi
        key=${BASH_REMATCH[1]} braces=${BASH_REMATCH[2]} attr=${BASH_REMATCH[3]}
        op=${BASH_REMATCH[4]} value=${BASH_REMATCH[5]} comma=${BASH_REMATCH[6]}
        rest=${BASH_REMATCH[7]}

        if [[ $op == "==" || $op == "!=" ]]; then
            [[ $match_keys == *" $key "* ]] || fault "line $start: '$key' is not a match key"
        else
            [[ $assign_keys == *" $key "* ]] || fault "line $start: '$key' cannot be assigned"
            [[ ($key == GOTO || $key == LABEL) && $op != "=" ]] && fault "line $start: $key needs '='"
            actions=$((actions + 1))
        fi
        if [[ $keyed == *" $key "* ]]; then
            [[ -n $attr ]] || fault "line $start: $key needs {name}"
        elif [[ -n $braces ]]; then
            fault "line $start: $key takes no {name}"
        fi
        if [[ $key == ATTR && ($attr == idVendor || $attr == idProduct) && ! $value =~ ^[0-9a-f]{4}$ ]]; then
            fault "line $start: $attr \"$value\" never matches: sysfs writes four lower-case hex digits"
        fi
        [[ $key == LABEL ]] && labels[$value]=1
        [[ $key == GOTO ]] && gotos[$value]=$start
        rule+="$key${braces}$op\"$value\"|"

        [[ -z ${rest//[[:space:]]/} ]] && break
        if [[ -z $comma ]]; then
            fault "line $start: missing comma before '$rest'"
            break
        fi
    done
    [[ $actions -gt 0 ]] || fault "line $start: a rule without an action"
    rules+=("$rule")
done < "$file"

for label in "${!gotos[@]}"; do
    [[ -n ${labels[$label]:-} ]] || fault "line ${gotos[$label]}: GOTO \"$label\" has no LABEL"
done

has_rule() {  # has_rule TOKEN...: some rule holds all the tokens
    local rule token
    for rule in "${rules[@]}"; do
        for token in "$@"; do
            [[ $rule == *"|$token|"* ]] || continue 2
        done
        return 0
    done
    return 1
}

[[ ${#devices[@]} -gt 0 ]] || fault "no USB devices named to check against"
for device in "${devices[@]}"; do
    vendor=${device%%:*} product=${device#*:}
    has_rule 'SUBSYSTEM=="usb"' 'ENV{DEVTYPE}=="usb_device"' "ATTR{idVendor}==\"$vendor\"" \
             "ATTR{idProduct}==\"$product\"" 'TAG+="uaccess"' ||
        fault "no uaccess rule for USB device $vendor:$product"
done
# A device the programs do not watch gets no access either.
for rule in "${rules[@]}"; do
    [[ $rule =~ \|ATTR\{idVendor\}==\"([^\"]*)\"\|ATTR\{idProduct\}==\"([^\"]*)\"\| ]] || continue
    [[ " ${devices[*]} " == *" ${BASH_REMATCH[1]}:${BASH_REMATCH[2]} "* ]] ||
        fault "uaccess rule for USB device ${BASH_REMATCH[1]}:${BASH_REMATCH[2]}, which no program watches"
done
has_rule 'SUBSYSTEM=="i2c-dev"' 'ATTRS{class}=="0x03*"' 'TAG+="uaccess"' ||
    fault "no uaccess rule for I2C buses of PCI display adapters"
has_rule 'SUBSYSTEM=="i2c-dev"' 'SUBSYSTEMS=="drm"' 'TAG+="uaccess"' ||
    fault "no uaccess rule for I2C buses of DRM devices"

[[ $faults -eq 0 ]]
