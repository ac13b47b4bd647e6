#!/usr/bin/env python3
"""Local stand-in for the home platform's JSON-RPC interface.

Listens on 127.0.0.1 and answers the requests the daemon sends:
"JSONRPC.Hello", "JSONRPC.SetNotificationStatus" and "Integrations.GetThings"
(with a "gridsupport" thing whose power-limit-source setting is chosen on the
command line, and an EEBUS control-box thing whose states answer
"Integrations.GetStateTypes" and "Integrations.GetStateValues"), and the
home's power balance and root meter: "Energy.GetPowerBalance",
"Energy.GetRootMeter", and the state types and values of a root-meter
thing. Requests are
framed by parsing JSON (some clients end them without a line feed); every
answer is one compact JSON line.

It is driven by lines on its standard input (one command a line, see
COMMANDS below); each command is answered with "ok <command>" or
"error <text>" on standard output. It also reports on standard output:
"listening <port>", "connected <n>", "disconnected <n>" and
"request <n> <line>" for every request line received on connection <n>.

Extend it by adding a method to METHODS or a command to COMMANDS.
"""

import argparse
import json
import os
import selectors
import socket
import sys
import time

GRIDSUPPORT_THING_ID = "{5d0f8c0e-6a0a-4d6e-9d5a-6f1c2b3a4d5e}"
GRIDSUPPORT_CLASS_ID = "{c7a1b2d3-0e4f-4a5b-8c6d-7e8f9a0b1c2d}"
SOURCE_SETTING_PARAM_TYPE_ID = "e3f9a1e4-5f20-4b6b-9c6f-bf0f4ad7b74b"
SOURCE_EVENT_TYPE_ID = "0f3c68bc-6b9b-4012-862f-0bd756675fdc"
SOURCE_EVENT_PARAM_TYPE_ID = "491ca80f-ab67-4977-944a-5228862ecf86"
OTHER_SETTING_PARAM_TYPE_ID = "a1b2c3d4-0000-4000-8000-000000000001"

CONTROL_BOX_THING_ID = "{3c1d7e52-8b4f-4f0e-9a61-2d5e7c9b0a14}"
CONTROL_BOX_CLASS_ID = "{9e8d7c6b-5a49-4382-b1a0-f9e8d7c6b5a4}"
# The control box's states: name, display name, type, value at start.
CONTROL_BOX_STATES = [
    ("connected", "Connected", "Bool", True),
    ("currentPower", "Current power", "Double", 0.0),
    ("currentGridPower", "Current grid power", "Double", 0.0),
    ("consumptionLimitationState", "Consumption limitation state", "QString", "unlimited"),
    ("consumptionLimitReceived", "Consumption limit received", "Bool", False),
    ("consumptionHeartbeatTimestamp", "Consumption heartbeat timestamp", "Int", 0),
    ("maxConsumptionPower", "Max consumption power", "UInt", 4200),
    ("productionLimitationState", "Production limitation state", "QString", "unlimited"),
    ("productionLimitReceived", "Production limit received", "Bool", False),
    ("productionHeartbeatTimestamp", "Production heartbeat timestamp", "Int", 0),
    ("maxProductionPower", "Max production power", "UInt", 0),
    ("failsafeMaxConsumptionPower", "Failsafe max consumption power", "UInt", 4200),
    ("failsafeMaxProductionPower", "Failsafe max production power", "UInt", 4200),
    ("failsafeDurationMinimum", "Failsafe duration minimum", "UInt", 2),
]
CONTROL_BOX_STATE_TYPE_IDS = {name: "5e1b0000-0000-4000-8000-%012d" % (i + 1)
                              for i, (name, _, _, _) in enumerate(CONTROL_BOX_STATES)}
NOT_MINE = object()
JSON_DECODER = json.JSONDecoder()

ROOT_METER_THING_ID = "{7b3e0c55-2f4d-4c3a-9a61-0d5e8f1b2c3d}"
ROOT_METER_CLASS_ID = "{e2a4c6d8-1b3d-4f5a-8c7e-9d0f1a2b3c4d}"
# The root meter's states with the values the stand-in reports.
ROOT_METER_STATES = [
    ("totalEnergyConsumed", 1234.5), ("totalEnergyProduced", 678.25), ("currentPower", 4321.0),
    ("energyConsumedPhaseA", 411.5), ("energyConsumedPhaseB", 412.5), ("energyConsumedPhaseC", 413.5),
    ("energyProducedPhaseA", 221.25), ("energyProducedPhaseB", 222.25), ("energyProducedPhaseC", 223.25),
    ("currentPowerPhaseA", 1401.0), ("currentPowerPhaseB", 1402.0), ("currentPowerPhaseC", 1403.0),
    ("currentPhaseA", 6.1), ("currentPhaseB", 6.2), ("currentPhaseC", 6.3),
    ("voltagePhaseA", 230.1), ("voltagePhaseB", 230.2), ("voltagePhaseC", 230.3),
]


def state_type_id(index):
    return "{5a7e0000-0000-4000-8000-%012d}" % (index + 1)


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def take_request(buffer):
    """Splits the first request off buffer: a JSON value (which may end without
    a line feed) or else a line. Returns (request, rest), request None while the
    buffer holds only the start of one."""
    data = buffer.lstrip(b" \t\r\n")
    if not data:
        return None, b""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        text = data[:error.start].decode("utf-8")
    try:
        _, end = JSON_DECODER.raw_decode(text)
        used = len(text[:end].encode("utf-8"))
        return data[:used], data[used:]
    except ValueError:
        pass
    if b"\n" in data:
        line, _, rest = data.partition(b"\n")
        return line, rest
    return None, data


class ControlBox:
    """The EEBUS control box as the platform shows it: a thing with three
    params and its states."""

    def __init__(self, limitation):
        self.present = limitation != "none"
        self.params = 3
        self.list_states = True
        self.values_mode = "normal"
        self.extra = None
        self.values = {name: value for name, _, _, value in CONTROL_BOX_STATES}
        if limitation in ("limited", "failsafe"):
            self.values["consumptionLimitationState"] = limitation
            self.values["productionLimitationState"] = limitation

    def thing(self):
        params = [{"paramTypeId": "6f2c0000-0000-4000-8000-%012d" % (i + 1), "value": "p%d" % (i + 1)}
                  for i in range(self.params)]
        states = [{"stateTypeId": CONTROL_BOX_STATE_TYPE_IDS[name], "value": self.values[name]}
                  for name, _, _, _ in CONTROL_BOX_STATES] if self.list_states else []
        return {"id": CONTROL_BOX_THING_ID, "thingClassId": CONTROL_BOX_CLASS_ID, "name": "EEBUS control box",
                "setupStatus": "ThingSetupStatusComplete", "params": params, "settings": [], "states": states}

    def state_types(self):
        return [{"id": CONTROL_BOX_STATE_TYPE_IDS[name], "name": name, "displayName": display, "type": kind,
                 "defaultValue": value}
                for name, display, kind, value in CONTROL_BOX_STATES]

    def state_values(self, request_id):
        if self.values_mode == "ignore":
            return None
        if self.values_mode == "error":
            return {"id": request_id, "status": "error", "error": "Internal error"}
        if self.values_mode == "none" or not self.present:
            return {"id": request_id, "status": "success", "params": {"thingError": "ThingErrorThingNotFound"}}
        values = [{"stateTypeId": CONTROL_BOX_STATE_TYPE_IDS[name], "value": self.values[name]}
                  for name, _, _, _ in CONTROL_BOX_STATES]
        if self.extra is not None:
            values.append(self.extra)
        return {"id": request_id, "status": "success", "params": {"values": values}}


class Client:
    def __init__(self, number, sock):
        self.number = number
        self.sock = sock
        self.buffer = b""


class StandIn:
    def __init__(self, args):
        self.source = json.loads(args.source_json) if args.source_json is not None else args.source
        self.things_mode = args.things
        self.silent = args.silent
        self.preface = args.preface
        self.control_box = ControlBox(args.controlbox)
        self.power_balance = {"currentPowerConsumption": 5100.0, "currentPowerProduction": 800.0,
                              "currentPowerAcquisition": 4300.5, "currentPowerStorage": 0.0}
        self.meter_quirks = False
        self.clients = {}
        self.next_client = 1
        self.selector = selectors.DefaultSelector()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", args.port))
        self.listener.listen(16)
        self.selector.register(self.listener, selectors.EVENT_READ, "accept")
        self.selector.register(sys.stdin.fileno(), selectors.EVENT_READ, "stdin")
        self.stdin_buffer = b""
        self.running = True
        say("listening %d" % self.listener.getsockname()[1])

    # -- the platform's answers -------------------------------------------

    def gridsupport_thing(self):
        return {
            "id": GRIDSUPPORT_THING_ID,
            "thingClassId": GRIDSUPPORT_CLASS_ID,
            "name": "gridsupport",
            "params": [],
            "settings": [
                {"paramTypeId": OTHER_SETTING_PARAM_TYPE_ID, "value": 1},
                {"paramTypeId": SOURCE_SETTING_PARAM_TYPE_ID, "value": self.source},
            ],
            "states": [],
        }

    def things(self):
        others = [{"id": "{0a0a0a0a-0000-4000-8000-00000000000a}", "name": "Root meter", "settings": []}]
        others += self.control_box_things()
        others += self.root_meter_things()
        if self.things_mode == "none":
            return others
        return others + [self.gridsupport_thing()]

    def method_hello(self, request):
        return {"id": request["id"], "status": "success",
                "params": {"name": "home platform stand-in", "protocol version": "8.0",
                           "locale": request.get("params", {}).get("locale", "en_US")}}

    def method_set_notification_status(self, request):
        params = request.get("params", {})
        return {"id": request["id"], "status": "success",
                "params": {"enabled": params.get("enabled", False), "namespaces": params.get("namespaces", [])}}

    def method_get_things(self, request):
        if self.things_mode == "garbage":
            return '{"id":%d,"status":"success","params":{"things":[{"name" "gridsupport"}]' % request["id"]
        if self.things_mode == "bad-params":
            return {"id": request["id"], "status": "success", "params": "things"}
        if self.things_mode == "ignore":
            return None
        answer = compact({"id": request["id"], "status": "success", "params": {"things": self.things()}})
        if self.things_mode == "nul-junk":
            # A good answer, then a NUL byte and junk on the same line.
            return answer + "\x00{junk"
        if self.preface is not None:
            # A source change that crosses the answer on the wire, in the same send.
            answer = self.source_event(self.preface) + answer
        return answer

    # -- the control box --------------------------------------------------------

    def control_box_things(self):
        return [self.control_box.thing()] if self.control_box.present else []

    def control_box_answer(self, request):
        """The answer to a request about the control box, or NOT_MINE."""
        method = request.get("method")
        params = request.get("params") if isinstance(request.get("params"), dict) else {}
        if method == "Integrations.GetStateTypes" and params.get("thingClassId") == CONTROL_BOX_CLASS_ID:
            return {"id": request.get("id"), "status": "success",
                    "params": {"stateTypes": self.control_box.state_types()}}
        if method == "Integrations.GetStateValues" and params.get("thingId") == CONTROL_BOX_THING_ID:
            return self.control_box.state_values(request.get("id"))
        return NOT_MINE

    # -- power balance and root meter ----------------------------------------

    def root_meter_things(self):
        return [{"id": ROOT_METER_THING_ID, "thingClassId": ROOT_METER_CLASS_ID, "name": "Grid meter",
                 "status": "ready", "params": [], "settings": []}]

    def method_get_power_balance(self, request):
        return {"id": request["id"], "status": "success", "params": self.power_balance}

    def method_get_root_meter(self, request):
        return {"id": request["id"], "status": "success", "params": {"rootMeterThingId": ROOT_METER_THING_ID}}

    def method_get_state_types(self, request):
        if request.get("params", {}).get("thingClassId") != ROOT_METER_CLASS_ID:
            return {"id": request["id"], "status": "error", "error": "Unknown thing class"}
        types = [{"id": state_type_id(i), "name": name, "displayName": name, "type": "double"}
                 for i, (name, _) in enumerate(ROOT_METER_STATES)]
        if self.meter_quirks:
            # A name given twice (the later id counts), and entries of wrong types.
            types.append({"id": "{5a7e0000-0000-4000-8000-000000000099}", "name": "voltagePhaseB"})
            types.append({"id": 42, "name": "voltagePhaseA"})
            types.append({"id": "{5a7e0000-0000-4000-8000-000000000098}", "name": None})
            types.append("voltagePhaseC")
        return {"id": request["id"], "status": "success", "params": {"stateTypes": types}}

    def method_get_state_values(self, request):
        # With the quirks on, any thing id (also an empty one) is answered.
        if request.get("params", {}).get("thingId") != ROOT_METER_THING_ID and not self.meter_quirks:
            return {"id": request["id"], "status": "error", "error": "Unknown thing"}
        values = [{"stateTypeId": state_type_id(i), "value": value}
                  for i, (_, value) in enumerate(ROOT_METER_STATES)]
        if self.meter_quirks:
            values += [
                {"stateTypeId": "{5a7e0000-0000-4000-8000-000000000099}", "value": 231.5},
                {"stateTypeId": "", "value": 99.0},
                {"stateTypeId": "{5a7e0000-0000-4000-8000-0000000000ff}", "value": 1.0},
                {"stateTypeId": state_type_id(0), "value": "12"},
                {"stateTypeId": 7, "value": 1.0},
                {"stateTypeId": state_type_id(1), "value": True},
                "not an object",
            ]
        return {"id": request["id"], "status": "success", "params": {"values": values}}

    # the root meter's commands

    def cmd_power_balance(self, arg):
        """power-balance JSON|absent: "currentPowerAcquisition" of the balance (absent: left out)."""
        if arg == "absent":
            self.power_balance.pop("currentPowerAcquisition", None)
        else:
            self.power_balance["currentPowerAcquisition"] = json.loads(arg)

    def cmd_meter_quirks(self, arg):
        """meter-quirks on|off: add duplicate, empty and wrongly typed root-meter entries and
        answer the state values of any thing id."""
        self.meter_quirks = arg != "off"

    ROOT_METER_COMMANDS = {"power-balance": cmd_power_balance, "meter-quirks": cmd_meter_quirks}

    METHODS = {
        "JSONRPC.Hello": method_hello,
        "JSONRPC.SetNotificationStatus": method_set_notification_status,
        "Integrations.GetThings": method_get_things,
        "Energy.GetPowerBalance": method_get_power_balance,
        "Energy.GetRootMeter": method_get_root_meter,
        "Integrations.GetStateTypes": method_get_state_types,
        "Integrations.GetStateValues": method_get_state_values,
    }

    def answer(self, client, line):
        say("request %d %s" % (client.number, line.decode("utf-8", "replace")))
        if self.silent:
            return
        try:
            request = json.loads(line)
            method = self.METHODS.get(request.get("method"))
            reply = self.control_box_answer(request)
        except (ValueError, AttributeError):
            return
        if reply is not NOT_MINE:
            pass
        elif method is None:
            reply = {"id": request.get("id"), "status": "error", "error": "Unknown method"}
        else:
            reply = method(self, request)
        if reply is None:
            return
        text = reply if isinstance(reply, str) else compact(reply)
        self.send(client, (text + "\n").encode("utf-8"))

    @staticmethod
    def source_event(source):
        return compact({
            "notification": "Integrations.EventTriggered",
            "params": {"event": {"eventTypeId": SOURCE_EVENT_TYPE_ID, "thingId": GRIDSUPPORT_THING_ID,
                                 "params": [{"paramTypeId": SOURCE_EVENT_PARAM_TYPE_ID, "value": source}]}},
        }) + "\n"

    # -- control commands ---------------------------------------------------

    # A source change is a change of the setting: the next GetThings answer
    # names the new source too (use "raw" for a notification alone).

    def cmd_event(self, arg):
        """event TEXT: the setting becomes TEXT; one source-change notification."""
        self.source = arg
        self.broadcast(self.source_event(arg).encode("utf-8"))

    def cmd_events(self, arg):
        """events A B ...: several source-change notifications in one send; the setting becomes the last."""
        sources = arg.split()
        if sources:
            self.source = sources[-1]
        self.broadcast("".join(self.source_event(s) for s in sources).encode("utf-8"))

    def cmd_event_split(self, arg):
        """event-split TEXT: the setting becomes TEXT; one notification sent in two parts, 100 ms apart."""
        self.source = arg
        data = self.source_event(arg).encode("utf-8")
        half = len(data) // 2
        self.broadcast(data[:half])
        time.sleep(0.1)
        self.broadcast(data[half:])

    def cmd_raw(self, arg):
        """raw "JSON string": these exact bytes (the argument is a JSON string)."""
        self.broadcast(json.loads(arg).encode("utf-8"))

    def cmd_overlong(self, arg):
        """overlong N: N bytes without a line feed, in several sends, then a line feed."""
        remaining = int(arg)
        while remaining > 0:
            part = min(remaining, 16384)
            self.broadcast(b"x" * part)
            remaining -= part
        self.broadcast(b"\n")

    def cmd_source(self, arg):
        """source TEXT: the power-limit-source setting from now on."""
        self.source = arg

    def cmd_source_json(self, arg):
        """source-json JSON: the setting as any JSON value (for example 5)."""
        self.source = json.loads(arg)

    def cmd_things(self, arg):
        """things normal|none|garbage|bad-params|ignore|nul-junk: how GetThings is answered."""
        self.things_mode = arg

    def cmd_preface(self, arg):
        """preface TEXT|off: send a source-change notification right before each GetThings answer."""
        self.preface = None if arg == "off" else arg

    def cmd_silent(self, arg):
        """silent on|off: stop or resume answering requests."""
        self.silent = arg != "off"

    def cmd_close(self, arg):
        """close: close every client connection."""
        for client in list(self.clients.values()):
            self.drop(client)

    def cmd_quit(self, arg):
        """quit: end the program."""
        self.running = False

    def cmd_box(self, arg):
        """box on|off: the control-box thing is in the things list or not."""
        self.control_box.present = arg != "off"

    def cmd_box_params(self, arg):
        """box-params N: the number of params of the control-box thing."""
        self.control_box.params = int(arg)

    def cmd_box_states(self, arg):
        """box-states on|off: the control-box thing lists its states or none."""
        self.control_box.list_states = arg != "off"

    def cmd_box_values(self, arg):
        """box-values normal|none|error|ignore: how GetStateValues of the box is answered."""
        if arg not in ("normal", "none", "error", "ignore"):
            raise ValueError("unknown mode %s" % arg)
        self.control_box.values_mode = arg

    def cmd_box_extra(self, arg):
        """box-extra JSON|off: one more entry in the box's state values."""
        self.control_box.extra = None if arg == "off" else json.loads(arg)

    def cmd_state(self, arg):
        """state NAME VALUE: a state of the box (VALUE as JSON, else as text)."""
        name, _, text = arg.partition(" ")
        if name not in self.control_box.values:
            raise ValueError("unknown state %s" % name)
        try:
            self.control_box.values[name] = json.loads(text)
        except ValueError:
            self.control_box.values[name] = text

    CONTROL_BOX_COMMANDS = {
        "box": cmd_box, "box-params": cmd_box_params, "box-states": cmd_box_states, "box-values": cmd_box_values,
        "box-extra": cmd_box_extra, "state": cmd_state,
    }

    COMMANDS = {
        "event": cmd_event, "events": cmd_events, "event-split": cmd_event_split, "raw": cmd_raw,
        "overlong": cmd_overlong, "source": cmd_source, "source-json": cmd_source_json,
        "things": cmd_things, "preface": cmd_preface, "silent": cmd_silent, "close": cmd_close, "quit": cmd_quit,
    }

    def command(self, line):
        name, _, arg = line.strip().partition(" ")
        handler = self.COMMANDS.get(name) or self.CONTROL_BOX_COMMANDS.get(name) or self.ROOT_METER_COMMANDS.get(name)
        if handler is None:
            say("error unknown command %s" % name)
            return
        try:
            handler(self, arg)
            say("ok %s" % name)
        except (ValueError, OSError) as error:
            say("error %s" % error)

    # -- sockets ------------------------------------------------------------

    def send(self, client, data):
        try:
            client.sock.sendall(data)
        except OSError:
            self.drop(client)

    def broadcast(self, data):
        for client in list(self.clients.values()):
            self.send(client, data)

    def drop(self, client):
        if client.number not in self.clients:
            return
        del self.clients[client.number]
        self.selector.unregister(client.sock)
        client.sock.close()
        say("disconnected %d" % client.number)

    def accept(self):
        sock, _ = self.listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        client = Client(self.next_client, sock)
        self.next_client += 1
        self.clients[client.number] = client
        self.selector.register(sock, selectors.EVENT_READ, client)
        say("connected %d" % client.number)

    def receive(self, client):
        try:
            data = client.sock.recv(65536)
        except OSError:
            data = b""
        if not data:
            self.drop(client)
            return
        client.buffer += data
        while client.number in self.clients:
            request, client.buffer = take_request(client.buffer)
            if request is None:
                break
            self.answer(client, request)

    def run(self):
        while self.running:
            for key, _ in self.selector.select():
                if key.data == "accept":
                    self.accept()
                elif key.data == "stdin":
                    self.read_commands()
                elif isinstance(key.data, Client) and key.data.number in self.clients:
                    self.receive(key.data)

    def read_commands(self):
        data = os.read(sys.stdin.fileno(), 65536)
        if not data:
            self.running = False
            return
        self.stdin_buffer += data
        while b"\n" in self.stdin_buffer and self.running:
            line, _, self.stdin_buffer = self.stdin_buffer.partition(b"\n")
            if line.strip():
                self.command(line.decode("utf-8"))


def say(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, required=True, help="TCP port on 127.0.0.1 (0: any free port)")
    parser.add_argument("--source", default="relais", help="power-limit-source setting of the gridsupport thing")
    parser.add_argument("--source-json", help="the setting as a JSON value (overrides --source)")
    parser.add_argument("--things", default="normal",
                        choices=["normal", "none", "garbage", "bad-params", "ignore", "nul-junk"],
                        help="how Integrations.GetThings is answered")
    parser.add_argument("--preface", help="source-change notification sent right before each GetThings answer")
    parser.add_argument("--controlbox", default="unlimited", choices=["limited", "failsafe", "unlimited", "none"],
                        help="limitation states of the EEBUS control box at start (none: no such thing)")
    parser.add_argument("--silent", action="store_true", help="accept connections but never answer")
    args = parser.parse_args()
    try:
        StandIn(args).run()
    except KeyboardInterrupt:
        pass
    os._exit(0)


if __name__ == "__main__":
    main()
