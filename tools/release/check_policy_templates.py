#!/usr/bin/env python3
"""Checks the administrative templates in docs/policy against themselves and
against the program: the .adm syntax (System Policy Editor and Group Policy),
the shape of the .admx/.adml pair (Vista and later) and every reference
between them, and that every template writes exactly the values of the
program's policy table (POLICY_VALUES in common/settings.h) under the key the
program reads (SETTINGS_POLICY_KEY in common/product_keys.h), with the
program's own limits.

    check_policy_templates.py SOURCE_ROOT

A fault is printed as file: message.  Exit status 0 when there is none.
"""

import os
import re
import sys
import xml.etree.ElementTree as ET

ADM = "docs/policy/qelsvc.adm"
ADMX = "docs/policy/qelsvc.admx"
ADML = "docs/policy/en-US/qelsvc.adml"
NS = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"


class Fault(Exception):
    pass


# --- The program's side ---------------------------------------------------

def read(root, rel):
    with open(os.path.join(root, rel), encoding="latin-1") as source:
        return source.read()


def program_table(root):
    """The rows of POLICY_VALUES as dicts (name, kind, min, max), the policy
    key, and the value names the settings load reads from the settings key."""
    headers = "".join(read(root, "common/" + name) for name in ("service_params.h", "settings.h", "config_rules.h"))

    def number(token):
        if re.fullmatch(r"\d+", token):
            return int(token)
        found = re.search(r"\b%s\s*=\s*(\d+)\b" % re.escape(token), headers)
        if not found:
            raise Fault("common/settings.h: the limit %s is no number and no constant found in common/" % token)
        return int(found.group(1))

    table = re.search(r"POLICY_VALUES\[\]\s*=\s*\{(.*?)\n\};", headers, re.S)
    if not table:
        raise Fault("common/settings.h: no POLICY_VALUES table")
    rows = []
    for match in re.finditer(r'\{\s*"(\w+)",\s*[^,]+,\s*PolicyValueKind::(\w+),\s*(\w+),\s*(\w+),', table.group(1)):
        rows.append({"name": match.group(1), "kind": match.group(2),
                     "min": number(match.group(3)), "max": number(match.group(4))})
    if not rows or len(rows) != table.group(1).count('{"'):
        raise Fault("common/settings.h: POLICY_VALUES has rows this checker cannot read (one row a line)")
    key = re.search(r'SETTINGS_POLICY_KEY\[\]\s*=\s*"([^"]+)"', read(root, "common/product_keys.h"))
    if not key:
        raise Fault("common/product_keys.h: no SETTINGS_POLICY_KEY")
    load = read(root, "common/settings.cpp")
    stored = set(re.findall(r'Read(?:Value|Dword)\(key(?:\.get\(\))?, "(\w+)"', load))
    return rows, key.group(1).replace("\\\\", "\\"), stored


# --- .adm -----------------------------------------------------------------

PART_TYPES = {"NUMERIC", "EDITTEXT", "DROPDOWNLIST", "CHECKBOX", "TEXT", "COMBOBOX", "LISTBOX"}
PART_FLAGS = {"REQUIRED", "NOSORT", "TXTCONVERT", "EXPANDABLETEXT", "ADDITIVE", "EXPLICITVALUE", "OEMCONVERT",
              "SOFT"}
PART_NUMBERS = {"MIN", "MAX", "SPIN", "MAXLEN", "DEFCHECKED"}


def adm_tokens(body):
    """(token, line) pairs: quoted strings keep their quotes; comments and
    the #if version / #endif lines go (their nesting is checked)."""
    tokens, depth = [], 0
    for number, line in enumerate(body.splitlines(), 1):
        stripped = line.strip()
        if stripped.startswith("#"):
            if re.fullmatch(r"#if\s+version\s*(>=|<=|>|<|==|!=)\s*\d+", stripped, re.I):
                depth += 1
            elif re.fullmatch(r"#endif", stripped, re.I):
                depth -= 1
                if depth < 0:
                    raise Fault("%s:%d: #endif without #if" % (ADM, number))
            else:
                raise Fault("%s:%d: unknown directive %s" % (ADM, number, stripped))
            continue
        for match in re.finditer(r'"[^"]*"|;.*|//.*|[^\s";]+', line):
            text = match.group(0)
            if text.startswith(";") or text.startswith("//"):
                break
            tokens.append((text, number))
    if depth:
        raise Fault("%s: #if without #endif" % ADM)
    return tokens


class AdmParser:
    def __init__(self, tokens):
        self.tokens, self.at = tokens, 0
        self.references = []  # (string name, line)
        self.policies = []

    def peek(self):
        return self.tokens[self.at][0].upper() if self.at < len(self.tokens) else None

    def take(self, word=None, due=None):
        """The next token; with word, it must be that keyword."""
        due = word or due or "more"
        if self.at >= len(self.tokens):
            raise Fault("%s: the file ends where %s is due" % (ADM, due))
        text, line = self.tokens[self.at]
        if word and text.upper() != word:
            raise Fault("%s:%d: %s where %s is due" % (ADM, line, text, due))
        self.at += 1
        return text, line

    def string(self):
        text, line = self.take(due="a name or string")
        if text.startswith("!!"):
            self.references.append((text[2:], line))
        return text.strip('"')

    def value(self):
        """VALUE [NUMERIC] n, or a string: (numeric?, value)."""
        if self.peek() == "NUMERIC":
            self.take()
            text, line = self.take(due="a number")
            if not re.fullmatch(r"\d+", text):
                raise Fault("%s:%d: NUMERIC %s is no number" % (ADM, line, text))
            return True, int(text)
        if self.peek() == "DELETE":
            self.take()
            return False, None
        return False, self.string()

    def number(self):
        text, line = self.take(due="a number")
        if not re.fullmatch(r"-?\d+", text):
            raise Fault("%s:%d: %s is no number" % (ADM, line, text))
        return int(text)

    def end(self, word):
        self.take("END")
        self.take(word)

    def parse(self):
        klass = None
        while self.peek() is not None:
            if self.peek() == "CLASS":
                self.take()
                klass, line = self.take(due="MACHINE or USER")
                if klass.upper() not in ("MACHINE", "USER"):
                    raise Fault("%s:%d: CLASS %s" % (ADM, line, klass))
                klass = klass.upper()
            elif self.peek() == "CATEGORY":
                if not klass:
                    raise Fault("%s:%d: CATEGORY before CLASS" % (ADM, self.tokens[self.at][1]))
                self.category(klass, None)
            else:
                text, line = self.take()
                raise Fault("%s:%d: %s at the top level" % (ADM, line, text))
        return self.policies

    def category(self, klass, key):
        self.take("CATEGORY")
        self.string()
        while True:
            word = self.peek()
            if word == "KEYNAME":
                self.take()
                key = self.string()
            elif word == "EXPLAIN":
                self.take()
                self.string()
            elif word == "CATEGORY":
                self.category(klass, key)
            elif word == "POLICY":
                self.policy(klass, key)
            elif word == "END":
                self.end("CATEGORY")
                return
            else:
                text, line = self.take()
                raise Fault("%s:%d: %s inside a CATEGORY" % (ADM, line, text))

    def actionlist(self, word, key):
        self.take(word)
        values = []
        while self.peek() != "END":
            if self.peek() == "KEYNAME":
                self.take()
                key = self.string()
            else:
                self.take("VALUENAME")
                name = self.string()
                self.take("VALUE")
                values.append((key, name, self.value()))
        self.end(word)
        return values

    # The documented order of a policy's statements (the grammar of the .adm
    # format); Group Policy reads them in any order, older editors may not.
    POLICY_ORDER = {"KEYNAME": 0, "EXPLAIN": 1, "VALUENAME": 2, "VALUEON": 2, "VALUEOFF": 2, "ACTIONLISTON": 3,
                    "ACTIONLISTOFF": 3, "SUPPORTED": 4, "CLIENTEXT": 5, "PART": 6}

    def policy(self, klass, key):
        _, line = self.take("POLICY")
        policy = {"class": klass, "key": key, "line": line, "name": self.string(), "parts": [], "actions": []}
        reached = 0
        while True:
            word = self.peek()
            if word in self.POLICY_ORDER:
                if self.POLICY_ORDER[word] < reached:
                    raise Fault("%s:%d: %s comes too late in policy %s (order: KEYNAME, EXPLAIN, VALUENAME/VALUEON/"
                                "VALUEOFF, ACTIONLISTON/OFF, SUPPORTED, CLIENTEXT, PART)"
                                % (ADM, self.tokens[self.at][1], word, policy["name"]))
                reached = self.POLICY_ORDER[word]
            if word in ("KEYNAME", "EXPLAIN", "SUPPORTED", "VALUENAME", "CLIENTEXT"):
                self.take()
                policy[word.lower()] = self.string()
                if word == "KEYNAME":
                    key = policy["key"] = policy["keyname"]
            elif word in ("VALUEON", "VALUEOFF"):
                self.take()
                policy[word.lower()] = self.value()
            elif word in ("ACTIONLISTON", "ACTIONLISTOFF"):
                policy["actions"] += self.actionlist(word, key)
            elif word == "PART":
                policy["parts"].append(self.part(key))
            elif word == "END":
                self.end("POLICY")
                self.policies.append(policy)
                return
            else:
                text, line = self.take()
                raise Fault("%s:%d: %s inside a POLICY" % (ADM, line, text))

    def part(self, key):
        _, line = self.take("PART")
        part = {"key": key, "line": line, "label": self.string(), "flags": set(), "items": []}
        kind, kind_line = self.take(due="a part type")
        if kind.upper() not in PART_TYPES:
            raise Fault("%s:%d: unknown part type %s" % (ADM, kind_line, kind))
        part["type"] = kind.upper()
        while True:
            word = self.peek()
            if word in PART_FLAGS:
                self.take()
                part["flags"].add(word)
            elif word in PART_NUMBERS:
                self.take()
                part[word.lower()] = self.number()
            elif word in ("KEYNAME", "VALUENAME"):
                self.take()
                part[word.lower()] = self.string()
                if word == "KEYNAME":
                    part["key"] = part["keyname"]
            elif word == "DEFAULT":
                self.take()
                part["default"] = self.value()
            elif word in ("VALUEON", "VALUEOFF"):
                self.take()
                part[word.lower()] = self.value()
            elif word == "ITEMLIST":
                self.take()
                while self.peek() == "NAME":
                    self.take()
                    self.string()
                    self.take("VALUE")
                    part["items"].append(self.value())
                    if self.peek() == "ACTIONLIST":
                        self.actionlist("ACTIONLIST", key)
                self.end("ITEMLIST")
            elif word == "SUGGESTIONS":
                self.take()
                while self.peek() != "END":
                    self.string()
                self.end("SUGGESTIONS")
            elif word == "END":
                self.end("PART")
                return part
            else:
                text, line = self.take()
                raise Fault("%s:%d: %s inside a PART" % (ADM, line, text))


def adm_strings(section):
    strings, faults = {}, []
    for number, line in enumerate(section.splitlines(), 2):
        if not line.strip() or line.strip().startswith(";"):
            continue
        match = re.fullmatch(r'\s*(\w+)\s*=\s*"([^"]*)"\s*', line)
        if not match:
            faults.append('%s: [strings] line %d is not name="text"' % (ADM, number))
        elif match.group(1) in strings:
            faults.append("%s: string %s is defined twice" % (ADM, match.group(1)))
        else:
            strings[match.group(1)] = match.group(2)
    return strings, faults


def adm_form(part):
    """What a PART writes, in the form program_form gives a row."""
    kind = part["type"]
    if kind == "NUMERIC" and "TXTCONVERT" not in part["flags"]:
        return ("number", part.get("min", 0), part.get("max", 9999))
    if kind == "DROPDOWNLIST" and all(numeric for numeric, _ in part["items"]):
        return ("choice",) + tuple(sorted(value for _, value in part["items"]))
    if kind == "EDITTEXT" and "EXPANDABLETEXT" not in part["flags"]:
        return ("text", part.get("maxlen"))
    odd = sorted(part["flags"] & {"TXTCONVERT", "EXPANDABLETEXT"}) or (["text values"] if part["items"] else [])
    return ("a %s part with %s" % (kind, ", ".join(odd)) if odd else "a %s part" % kind,)


def number_of(value):
    """A VALUE as (NUMERIC?, value): the number, or None for a text."""
    return value[1] if value and value[0] else None


def adm_values(policies):
    """What the .adm writes (value name -> form), the keys it writes to, and
    faults."""
    written, keys, faults = {}, set(), []

    def add(name, form, where):
        if name in written:
            faults.append("%s:%d: %s is written by two policies or parts" % (ADM, where, name))
        written[name] = form

    for policy in policies:
        if policy["class"] != "MACHINE":
            faults.append("%s:%d: policy %s is not in CLASS MACHINE" % (ADM, policy["line"], policy["name"]))
        keys.add(policy["key"])
        if "valuename" in policy:
            add(policy["valuename"], ("switch", number_of(policy.get("valueon")), number_of(policy.get("valueoff"))),
                policy["line"])
        for part in policy["parts"]:
            keys.add(part["key"])
            if "valuename" not in part:
                faults.append("%s:%d: a part without VALUENAME" % (ADM, part["line"]))
            else:
                add(part["valuename"], adm_form(part), part["line"])
        for key, name, value in policy["actions"]:
            keys.add(key)
            add(name, ("action list value",), policy["line"])
    return written, keys, faults


def check_adm(root, rows, policy_key):
    text = read(root, ADM)
    split = re.split(r"^\s*\[strings\]\s*$", text, maxsplit=1, flags=re.M | re.I)
    if len(split) != 2:
        return [ADM + ": no [strings] section"], {}
    try:
        parser = AdmParser(adm_tokens(split[0]))
        policies = parser.parse()
    except Fault as fault:
        return [str(fault)], {}
    strings, faults = adm_strings(split[1])
    used = set()
    for name, line in parser.references:
        used.add(name)
        if name not in strings:
            faults.append("%s:%d: !!%s is not defined in [strings]" % (ADM, line, name))
    faults += ["%s: string %s is never used" % (ADM, name) for name in sorted(set(strings) - used)]
    written, keys, more = adm_values(policies)
    faults += more
    for key in sorted(keys, key=str):
        if key != policy_key:
            faults.append("%s: key %s is not the program's policy key %s" % (ADM, key, policy_key))

    faults += compare_with_program(ADM, written, rows)
    return faults, strings


# --- .admx / .adml --------------------------------------------------------

# element: (required attributes, [(child, least, most)] in schema order, or
# a set of children allowed in any order and number)
ADMX_SHAPE = {
    "policyDefinitions": ({"revision", "schemaVersion"},
                          [("policyNamespaces", 1, 1), ("supersededAdm", 0, 99), ("resources", 1, 1),
                           ("supportedOn", 0, 1), ("categories", 0, 1), ("policies", 0, 1)]),
    "policyNamespaces": (set(), [("target", 1, 1), ("using", 0, 99)]),
    "target": ({"prefix", "namespace"}, []),
    "using": ({"prefix", "namespace"}, []),
    "resources": ({"minRequiredRevision"}, []),
    "supportedOn": (set(), [("definitions", 1, 1)]),
    "definitions": (set(), [("definition", 1, 999)]),
    "definition": ({"name", "displayName"}, []),
    "categories": (set(), [("category", 1, 999)]),
    "category": ({"name", "displayName"}, [("parentCategory", 0, 1), ("seeAlso", 0, 99), ("keywords", 0, 1)]),
    "policies": (set(), [("policy", 1, 999)]),
    "policy": ({"name", "class", "displayName", "explainText", "key"},
               [("parentCategory", 1, 1), ("seeAlso", 0, 99), ("keywords", 0, 1), ("supportedOn", 0, 1),
                ("enabledValue", 0, 1), ("disabledValue", 0, 1), ("enabledList", 0, 1), ("disabledList", 0, 1),
                ("elements", 0, 1)]),
    "parentCategory": ({"ref"}, []),
    "enabledValue": (set(), {"decimal", "string", "delete", "longDecimal"}),
    "disabledValue": (set(), {"decimal", "string", "delete", "longDecimal"}),
    "elements": (set(), {"decimal", "text", "enum", "boolean", "list", "multiText", "longDecimal"}),
    "decimal": ({"value"}, []),  # inside values; elements' decimal is checked apart
    "enum": ({"id", "valueName"}, [("item", 1, 999)]),
    "item": ({"displayName"}, [("value", 1, 1), ("valueList", 0, 1)]),
    "value": (set(), {"decimal", "string", "delete", "longDecimal"}),
    "text": ({"id", "valueName"}, []),
}
ADML_SHAPE = {
    "policyDefinitionResources": ({"revision", "schemaVersion"},
                                  [("displayName", 1, 1), ("description", 1, 1), ("annotation", 0, 99),
                                   ("resources", 1, 1)]),
    "resources": (set(), [("stringTable", 0, 1), ("presentationTable", 0, 1)]),
    "stringTable": (set(), [("string", 1, 9999)]),
    "string": ({"id"}, []),
    "presentationTable": (set(), [("presentation", 1, 999)]),
    "presentation": ({"id"}, {"text", "decimalTextBox", "textBox", "checkBox", "comboBox", "dropdownList",
                              "listBox", "multiTextBox", "longDecimalTextBox"}),
    "textBox": ({"refId"}, [("label", 1, 1), ("defaultValue", 0, 1)]),
}
# element of a policy -> the presentation control that shows it
CONTROL_OF = {"decimal": "decimalTextBox", "text": "textBox", "enum": "dropdownList", "boolean": "checkBox",
              "multiText": "multiTextBox", "longDecimal": "longDecimalTextBox", "list": "listBox"}


def local(tag):
    return tag[len(NS):] if tag.startswith(NS) else None


def check_shape(element, shapes, path, faults, parent=None):
    name = local(element.tag)
    where = "%s: %s" % (path, name)
    if name is None:
        faults.append("%s: %s is outside the policy definitions namespace" % (path, element.tag))
        return
    if parent == "elements" and name == "decimal":
        shape = ({"id", "valueName"}, [])
    elif parent == "policy" and name == "supportedOn":
        shape = ({"ref"}, [])
    elif name in ("decimalTextBox", "dropdownList", "checkBox", "listBox", "multiTextBox", "longDecimalTextBox",
                  "comboBox"):
        shape = ({"refId"}, [("label", 0, 1), ("default", 0, 1), ("suggestion", 0, 99)])
    elif name in shapes:
        shape = shapes[name]
    elif name in ("label", "defaultValue", "displayName", "description", "annotation", "keywords", "seeAlso",
                  "string", "delete", "longDecimal", "valueList", "supersededAdm", "enabledList", "disabledList",
                  "boolean", "list", "multiText", "default", "suggestion"):
        shape = (set(), None)  # content not checked further
    else:
        faults.append("%s is no element of the schema here" % where)
        return
    required, children = shape
    for attribute in sorted(required - set(element.attrib)):
        faults.append("%s lacks the attribute %s" % (where, attribute))
    kids = list(element)
    if children is None:
        return
    if isinstance(children, set):
        for kid in kids:
            if local(kid.tag) not in children:
                faults.append("%s: %s is not allowed inside" % (where, local(kid.tag)))
    else:
        at = 0
        for child, least, most in children:
            count = 0
            while at < len(kids) and local(kids[at].tag) == child:
                at += 1
                count += 1
            if not least <= count <= most:
                faults.append("%s: %d %s where %d to %d are due" % (where, count, child, least, most))
        if at < len(kids):
            faults.append("%s: %s is out of the schema's order or not allowed" % (where, local(kids[at].tag)))
    for kid in kids:
        check_shape(kid, shapes, path, faults, parent=name)


def parse_xml(root, rel, faults):
    try:
        return ET.parse(os.path.join(root, rel)).getroot()
    except (ET.ParseError, OSError) as error:
        faults.append("%s: %s" % (rel, error))
        return None


def reference(text, kind):
    match = re.fullmatch(r"\$\(%s\.(\w+)\)" % kind, text or "")
    return match.group(1) if match else None


def check_admx(root, rows, policy_key, adm_strings_by_id):
    faults = []
    admx, adml = parse_xml(root, ADMX, faults), parse_xml(root, ADML, faults)
    if admx is None or adml is None:
        return faults
    check_shape(admx, ADMX_SHAPE, ADMX, faults)
    check_shape(adml, ADML_SHAPE, ADML, faults)
    if faults:
        return faults

    strings = {}
    for string in adml.iter(NS + "string"):
        if string.get("id") in strings:
            faults.append("%s: string %s is defined twice" % (ADML, string.get("id")))
        strings[string.get("id")] = string.text or ""
    presentations = {p.get("id"): p for p in adml.iter(NS + "presentation")}
    used_strings, used_presentations = set(), set()

    def string_ref(text, where):
        name = reference(text, "string")
        if name is None:
            faults.append("%s: %s is no $(string.ID) reference" % (where, text))
        elif name not in strings:
            faults.append("%s: $(string.%s) is not in %s" % (where, name, ADML))
        else:
            used_strings.add(name)

    prefix = admx.find(NS + "policyNamespaces/" + NS + "target").get("prefix")
    categories = {c.get("name") for c in admx.iter(NS + "category")}
    supported = {d.get("name") for d in admx.iter(NS + "definition")}
    for element in admx.iter():
        if element.tag in (NS + "category", NS + "definition", NS + "item"):
            string_ref(element.get("displayName"), "%s: %s %s" % (ADMX, local(element.tag), element.get("name", "")))

    written = {}
    for policy in admx.iter(NS + "policy"):
        name = policy.get("name")
        where = "%s: policy %s" % (ADMX, name)
        string_ref(policy.get("displayName"), where)
        string_ref(policy.get("explainText"), where)
        if policy.get("class") != "Machine":
            faults.append("%s: class %s, not Machine" % (where, policy.get("class")))
        parent = policy.find(NS + "parentCategory").get("ref")
        if parent.split(":")[-1] not in categories or (":" in parent and parent.split(":")[0] != prefix):
            faults.append("%s: parent category %s is not defined" % (where, parent))
        on = policy.find(NS + "supportedOn")
        if on is not None and on.get("ref") not in supported:
            faults.append("%s: supportedOn %s is not defined" % (where, on.get("ref")))
        keys = {policy.get("key")}
        if policy.get("valueName"):
            numbers = [policy.find(NS + tag + "/" + NS + "decimal") for tag in ("enabledValue", "disabledValue")]
            written[policy.get("valueName")] = ("switch",) + tuple(
                None if number is None else int(number.get("value")) for number in numbers)
        elements = policy.find(NS + "elements")
        element_ids = set()
        for element in (elements if elements is not None else []):
            kind = local(element.tag)
            keys.add(element.get("key", policy.get("key")))
            if element.get("id") in element_ids:
                faults.append("%s: element id %s is used twice" % (where, element.get("id")))
            element_ids.add(element.get("id"))
            value = element.get("valueName")
            if value in written:
                faults.append("%s: %s is written twice" % (where, value))
            written[value] = admx_form(element)
        for key in sorted(k for k in keys if k != policy_key):
            faults.append("%s: key %s is not the program's policy key %s" % (where, key, policy_key))
        presentation = reference(policy.get("presentation"), "presentation")
        if element_ids and presentation is None:
            faults.append("%s: has elements but no $(presentation.ID)" % where)
        if presentation is not None:
            if presentation not in presentations:
                faults.append("%s: $(presentation.%s) is not in %s" % (where, presentation, ADML))
                continue
            used_presentations.add(presentation)
            controls = {c.get("refId"): local(c.tag) for c in presentations[presentation]}
            for element in (elements if elements is not None else []):
                control = controls.pop(element.get("id"), None)
                if control != CONTROL_OF.get(local(element.tag)):
                    faults.append("%s: element %s is shown by %s, not by a %s" % (
                        where, element.get("id"), control or "no control", CONTROL_OF.get(local(element.tag))))
            for ref in sorted(controls):
                faults.append("%s: presentation %s shows %s, which the policy lacks" % (where, presentation, ref))

    faults += ["%s: string %s is never used" % (ADML, s) for s in sorted(set(strings) - used_strings)]
    faults += ["%s: presentation %s is never used" % (ADML, p) for p in sorted(set(presentations) - used_presentations)]
    for name, text in sorted(strings.items()):
        if name in adm_strings_by_id and adm_strings_by_id[name].replace("\\n", "\n") != text:
            faults.append("%s: string %s says other than the same string of %s" % (ADML, name, ADM))

    faults += compare_with_program(ADMX, written, rows)
    return faults


def admx_form(element):
    """What an element of a policy writes, in the form program_form gives a
    row."""
    kind = local(element.tag)
    if kind == "decimal" and element.get("storeAsText") != "true":
        return ("number", int(element.get("minValue", "0")), int(element.get("maxValue", "9999")))
    if kind == "enum" and all(len(item.findall(NS + "value/" + NS + "decimal")) == 1 for item in element):
        return ("choice",) + tuple(sorted(int(d.get("value")) for d in element.iter(NS + "decimal")))
    if kind == "text" and element.get("expandable") != "true":
        return ("text", int(element.get("maxLength", "1023")))
    return ("a %s element" % kind,)


# --- Both against the program ---------------------------------------------

def program_form(row):
    """What a template must write for a row of the program's table: a switch
    writes the row's Max when enabled and its Min when disabled; a number
    keeps to Min..Max; a choice offers each of Min..Max once; a mask list is
    a text of at most Max characters (what the program reads)."""
    if row["kind"] == "Switch":
        return ("switch", row["max"], row["min"])
    if row["kind"] == "Number":
        return ("number", row["min"], row["max"])
    if row["kind"] == "Choice":
        return ("choice",) + tuple(range(row["min"], row["max"] + 1))
    return ("text", row["max"])


def describe(form):
    if form[0] == "switch":
        return "a switch writing %s when enabled and %s when disabled" % tuple(
            "nothing" if value is None else value for value in form[1:])
    if form[0] == "number":
        return "a 4-byte number of %s..%s" % form[1:]
    if form[0] == "choice":
        return "a choice of %s" % ", ".join(str(v) for v in form[1:])
    if form[0] == "text":
        return "a text of at most %s characters" % form[1]
    return form[0]


def compare_with_program(path, written, rows):
    faults = []
    names = {row["name"] for row in rows}
    for name in sorted(set(written) - names):
        faults.append("%s: writes %s, which the program does not read as a policy" % (path, name))
    for row in rows:
        form = written.get(row["name"])
        if form is None:
            faults.append("%s: %s: no policy writes it" % (path, row["name"]))
        elif form != program_form(row):
            faults.append("%s: %s: the template writes %s, the program takes %s" % (
                path, row["name"], describe(form), describe(program_form(row))))
    return faults


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[8].strip(), file=sys.stderr)
        return 2
    root = sys.argv[1]
    try:
        rows, policy_key, stored = program_table(root)
    except Fault as fault:
        print(fault)
        return 1
    faults = ["common/settings.h: %s has a policy but is no value of the settings key" % row["name"]
              for row in rows if row["name"] not in stored]
    adm_faults, strings = check_adm(root, rows, policy_key)
    faults += adm_faults
    faults += check_admx(root, rows, policy_key, strings)
    for fault in faults:
        print(fault)
    print("%d policy values, %s, %s and %s checked, %d faults" % (len(rows), ADM, ADMX, ADML, len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
