#!/usr/bin/python3
"""Writes a JSON Schema (draft 2020-12) of the XFS4IoT messages of the
Common, CardReader, Storage and ServicePublisher interfaces, generated from
the message classes of the public KAL XFS4IoT framework (MIT), which are in
turn generated from the standard's schemas:

    generate.py <KAL_XFS4IoT_SP-Dev checkout> <commit> > schema.json

Each *_g.cs file under Framework/Core/<Interface>/ gives a message (its
name, version and kind from the Command/Completion/Event attributes) and
the classes of its payload: [DataMember] properties with their C# types,
[DataTypes] patterns and bounds, enums (serialised camelCase). Every
property may be null, as the classes' nullable types allow; no other
property is allowed. A frame's header is checked as MessageHeader.cs has
it; a known message's payload and exact version by an if/then rule. The
keys of Common.Capabilities' commands and events follow the pattern of the
standard's 2021-1 JSON schema (KAL_XFS4IoT_SP-Dev-Samples,
Devices/ServerHostSample/JsonSchema/JsonSchema-2021-1.json,
"Common.Interface"), which the 2025 classes leave unchecked.
"""
import json
import re
import subprocess
import sys

INTERFACES = ["Common", "CardReader", "Storage", "ServicePublisher"]
KEY_PATTERN = r"^[0-9A-Za-z]*\.[0-9A-Za-z]*$"  # JsonSchema-2021-1.json, Common.Interface


def camel(name):
    """System.Text.Json's camel-case naming policy."""
    c = list(name)
    for i in range(len(c)):
        if i == 1 and not c[i].isupper():
            break
        if i > 0 and i + 1 < len(c) and not c[i + 1].isupper():
            break
        c[i] = c[i].lower()
    return "".join(c)


class Parser:
    """The classes, enums and messages of the generated files."""

    def __init__(self):
        self.classes = {}   # full name -> {"props": {}, "ext": None}
        self.enums = {}     # full name -> [values]
        self.messages = []  # (name, kind, version, payload type, scope)

    def parse(self, text):
        reader = FileReader(self)
        for raw in text.splitlines():
            line = raw.strip()
            if line.startswith("//") or not line:
                continue
            reader.line(line)

    def resolve(self, name, scope, table):
        for i in range(len(scope), -1, -1):
            for prefix in (scope[:i], ["XFS4IoT"]):
                full = ".".join(prefix + [name])
                if full in table:
                    return full
        return None


def pattern_of(attrs):
    p = attrs.get("types", {}).get("Pattern")
    return p[2:-1].replace('""', '"') if p else None


def take_attributes(line, attrs):
    """The attributes of the next declaration, gathered in attrs."""
    m = re.match(r"\[(XFS4Version|Command|Completion|Event)\((\w+) = \"([^\"]+)\"\)\]", line)
    if m:
        attrs[m.group(1)] = m.group(3)
    m = re.match(r"\[DataMember\((?:IsRequired = \w+, )?Name = \"(\w+)\"\)\]", line)
    if m:
        attrs["member"] = m.group(1)
    m = re.match(r"\[DataTypes\((.*)\)\]", line)
    if m:
        attrs["types"] = dict(re.findall(r"(\w+) = (@\"(?:[^\"]|\"\")*\"|[-\w.]+)", m.group(1)))


class Scope:
    """The open namespace, classes and enum of a file, followed brace by brace."""

    def __init__(self):
        self.names, self.depth_of = [], []  # names of the open namespace/classes/enums
        self.depth, self.pending, self.enum_open = 0, None, None

    def full(self, name=None):
        return ".".join(self.names + ([name] if name else []))

    def braces(self, line):
        for ch in line:
            if ch == "{":
                self.depth += 1
                if self.pending:
                    self.names += self.pending
                    self.depth_of.append((self.depth, len(self.pending)))
                    self.pending = None
            elif ch == "}":
                if self.depth_of and self.depth_of[-1][0] == self.depth:
                    _, n = self.depth_of.pop()
                    if self.enum_open and self.enum_open == self.full():
                        self.enum_open = None
                    del self.names[-n:]
                self.depth -= 1


class FileReader:
    """Reads the regular shape of one file's generated classes line by line."""

    def __init__(self, parser):
        self.p, self.s, self.attrs = parser, Scope(), {}

    def line(self, line):
        take_attributes(line, self.attrs)
        self.declaration(line)
        self.member(line)
        self.enum_value(line)
        self.s.braces(line)

    def declaration(self, line):
        s = self.s
        m = re.match(r"namespace ([\w.]+)", line)
        if m:
            s.pending = m.group(1).split(".")
        m = re.match(r"public (?:sealed |abstract )?class (\w+)(?: : ([\w.]+)<([\w.]+)>)?", line)
        if m:
            s.pending = [m.group(1)]
            self.p.classes[s.full(m.group(1))] = {"props": {}, "ext": None}
            for kind in ("Command", "Completion", "Event"):
                if kind in self.attrs and m.group(2):
                    k = "unsolicited" if m.group(2).startswith("Unsolicited") else kind.lower()
                    self.p.messages.append((self.attrs[kind], k, self.attrs["XFS4Version"],
                                            m.group(3), s.names + [m.group(1)]))
            self.attrs = {}
        m = re.match(r"public enum (\w+)", line)
        if m:
            s.pending = [m.group(1)]
            s.enum_open = s.full(m.group(1))
            self.p.enums[s.enum_open] = []

    def member(self, line):
        attrs = self.attrs
        m = re.match(r"public (?:required )?([\w.<>, ?]+?) (\w+)\s*(\{|$)", line)
        if m and ("member" in attrs or m.group(2) == "ExtendedProperties") and "(" not in line:
            owner = self.p.classes.get(self.s.full())
            if owner is not None and m.group(2) == "ExtendedProperties":
                owner["ext"] = (pattern_of(attrs), m.group(1), list(self.s.names))
            elif owner is not None:
                owner["props"][attrs["member"]] = (m.group(1), attrs.get("types", {}),
                                                   list(self.s.names))
            self.attrs = {}

    def enum_value(self, line):
        enum = self.s.enum_open
        if enum and enum == self.s.full() and re.match(r"^\w+,?$", line):
            value = line.rstrip(",")
            # Interface names stay as they are ("CardReader"), as the
            # 2021-1 schema has them.
            self.p.enums[enum].append(
                value if enum.endswith("InterfaceClass.NameEnum") else camel(value))


class Schemas:
    """The JSON Schema of the parsed classes and enums."""

    def __init__(self, parser):
        self.p = parser

    def type_schema(self, t, types, scope):
        t = t.rstrip("?").replace(" ", "")
        pattern = pattern_of({"types": types})
        s = {}
        if t == "List<byte>" or t == "string" or t == "DateTime":
            s = {"type": "string"}
        elif t in ("int", "long", "uint", "short"):
            s = {"type": "integer"}
        elif t in ("double", "float", "decimal"):
            s = {"type": "number"}
        elif t == "bool":
            s = {"type": "boolean"}
        elif t.startswith("List<"):
            return {"type": ["array", "null"], "items": self.type_schema(t[5:-1], types, scope)}
        elif t.startswith("Dictionary<string,"):
            s = {"type": ["object", "null"],
                 "additionalProperties": self.type_schema(t[len("Dictionary<string,"):-1], {}, scope)}
            if pattern:
                s["propertyNames"] = {"pattern": pattern}
            return s
        elif self.p.resolve(t, scope, self.p.enums):
            return {"enum": self.p.enums[self.p.resolve(t, scope, self.p.enums)] + [None]}
        elif self.p.resolve(t, scope, self.p.classes):
            return {"anyOf": [{"$ref": "#/$defs/" + self.p.resolve(t, scope, self.p.classes)},
                              {"type": "null"}]}
        else:
            return {}  # a type of an interface the service has not got (cash, check, ...)
        if pattern and s["type"] == "string":
            s["pattern"] = pattern
        for k, j in (("Minimum", "minimum"), ("Maximum", "maximum")):
            if k in types:
                s[j] = int(types[k])
        s["type"] = [s["type"], "null"]
        return s

    def class_schema(self, full):
        c = self.p.classes[full]
        props = {n: self.type_schema(t, ty, sc) for n, (t, ty, sc) in c["props"].items()}
        s = {"type": "object", "properties": props}
        if c["ext"]:
            pattern, t, scope = c["ext"]
            s["patternProperties"] = {pattern: self.type_schema(t[len("Dictionary<string, "):-1]
                                                                if t.startswith("Dictionary") else t,
                                                                {}, scope)}
        s["additionalProperties"] = False
        return s


def header_schema():
    return {
        "type": "object",
        "required": ["name", "requestId", "type", "version"],
        "properties": {
            "name": {"type": "string"},
            "requestId": {"type": ["integer", "null"], "minimum": 1},
            "type": {"enum": ["command", "acknowledge", "event", "completion", "unsolicited"]},
            "version": {"type": "string", "pattern": r"^[1-9][0-9]*\.([1-9][0-9]*|0)$"},
            "timeout": {"type": "integer", "minimum": 0},
            "status": {"enum": [None, "invalidMessage", "invalidRequestID", "tooManyRequests"]},
            "completionCode": {"enum": [
                "success", "commandErrorCode", "canceled", "deviceNotReady", "hardwareError",
                "internalError", "invalidCommand", "invalidRequestID", "timeOut",
                "unsupportedCommand", "invalidData", "userError", "unsupportedData",
                "fraudAttempt", "sequenceError", "authorisationRequired", "noCommandNonce",
                "invalidToken", "invalidTokenNonce", "invalidTokenHMAC", "invalidTokenFormat",
                "invalidTokenKeyNoValue", "notEnoughSpace"]},
            "errorDescription": {"type": ["string", "null"]},
        },
        "additionalProperties": False,
        "allOf": [
            {"if": {"properties": {"type": {"const": "completion"}}},
             "then": {"required": ["completionCode"]}},
            {"if": {"properties": {"type": {"const": "unsolicited"}}},
             "then": {"properties": {"requestId": {"type": "null"}}}},
        ],
    }


def main():
    root, commit = sys.argv[1], sys.argv[2]
    files = subprocess.run(["git", "-C", root, "ls-tree", "-r", "--name-only", commit],
                           capture_output=True, text=True, check=True).stdout.split()
    p = Parser()
    used = [f for f in files if f.endswith(".cs") and
            any(f.startswith(f"Framework/Core/{i}/") for i in INTERFACES) and f.endswith("_g.cs")]
    for f in sorted(used):
        p.parse(subprocess.run(["git", "-C", root, "show", f"{commit}:{f}"],
                               capture_output=True, text=True, check=True).stdout.lstrip("\ufeff"))
    schemas = Schemas(p)
    defs = {full: schemas.class_schema(full) for full in sorted(p.classes)}
    iface = "XFS4IoT.Common.InterfaceClass"
    for key in ("commands", "events"):
        defs[iface]["properties"][key]["propertyNames"] = {"pattern": KEY_PATTERN}
    defs["header"] = header_schema()
    rules = []
    for name, kind, version, payload, scope in sorted(p.messages):
        full = p.resolve(payload, scope, p.classes)
        body = {"$ref": "#/$defs/" + full} if full else {"type": "object", "maxProperties": 0}
        rules.append({
            "if": {"properties": {"header": {"properties": {"name": {"const": name},
                                                            "type": {"const": kind}}}}},
            "then": {"properties": {"header": {"properties": {"version": {"const": version}}},
                                    "payload": {"anyOf": [body, {"type": "null"}]}}},
        })
    schema = {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "$comment": (f"Generated by tools/xfs4iot-schema/generate.py from "
                     f"github.com/KAL-ATM-Software/KAL_XFS4IoT_SP-Dev at {commit}, "
                     f"Framework/Core/{{{','.join(INTERFACES)}}}/**/*_g.cs ({len(used)} files, "
                     f"{len(p.messages)} messages). Capabilities keys: pattern of "
                     "KAL-ATM-Software/KAL_XFS4IoT_SP-Dev-Samples "
                     "Devices/ServerHostSample/JsonSchema/JsonSchema-2021-1.json."),
        "type": "object",
        "required": ["header"],
        "properties": {"header": {"$ref": "#/$defs/header"}, "payload": {}},
        "additionalProperties": False,
        "allOf": rules,
        "$defs": defs,
    }
    # One line per rule and per definition: test data, read by the checker.
    defs = schema.pop("$defs")
    rules = schema.pop("allOf")
    out = json.dumps(schema, sort_keys=True)[:-1]
    out += ',\n"allOf": [\n' + ",\n".join(json.dumps(r, sort_keys=True) for r in rules)
    out += '\n],\n"$defs": {\n' + ",\n".join(f"{json.dumps(k)}: {json.dumps(v, sort_keys=True)}"
                                              for k, v in sorted(defs.items()))
    print(out + "\n}}")


if __name__ == "__main__":
    main()
