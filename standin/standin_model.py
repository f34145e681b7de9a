"""Accounts, folder trees, file contents, scripted faults and the request log of the stand-in.

Every value here is shared by the HTTP threads and the FTP threads, so all of it lives behind the
one lock of `Service`.
"""

import base64
import binascii
import hashlib
import json
import os
import random
import struct
import threading
import time
import urllib.parse

ROOT_ID = "-1"
BLOCK = 1 << 20
DEFAULT_TIME = "2024-01-01 12:00:00"

HTTP_KINDS = {
    "startup", "login", "listing", "folder", "create_folder", "rename_f", "move_f", "delete_f",
    "upload_done", "dlfile", "dlfile_ok", "ver", "checklink", "download", "update",
}
FTP_KINDS = {"ftp-login", "ftp-stor", "ftp-size"}
ACTIONS = {
    "drop", "delay", "refuse", "cut", "throttle", "ignore_range", "stall", "missing",
    "max_clients", "login_denied", "quota", "foreign",
    "short", "endless", "unsatisfiable", "answer", "silent", "pad", "redirect",
}

# The request parameter of "/tool/?" and the kind it stands for.
PARAM_KINDS = {
    "startup": "startup", "folder": "folder", "create_folder": "create_folder",
    "rename_f": "rename_f", "move_f": "move_f", "delete_f": "delete_f",
    "upload_done": "upload_done", "dlfile": "dlfile", "dlfile_ok": "dlfile_ok",
}


class ServiceError(Exception):
    """A request the service refuses: answered with value 0 and this text."""


class Node:
    def __init__(self, node_id, name, is_file, parent):
        self.id = node_id
        self.name = name
        self.is_file = is_file
        self.parent = parent
        self.children = []
        self.size = 0
        self.path = None
        self.playable = False
        self.time = DEFAULT_TIME
        self.sha256 = None


class Account:
    def __init__(self, name, values):
        self.name = name
        self.password = str(values.get("password", ""))
        self.values = {}
        for key, default in (("param1", "1"), ("reason1", ""), ("param2", "1"),
                             ("reason2", ""), ("max_usp", 0)):
            self.values[key] = values.get(key, default)
        self.nodes = {ROOT_ID: Node(ROOT_ID, "", False, None)}
        self.ftp_home = None

    def may_modify(self):
        return self.values.get("param1") is None or str(self.values["param1"]) != "0"

    def may_download(self):
        return self.values.get("param2") is None or str(self.values["param2"]) != "0"


def seeded_block(seed):
    return random.Random(seed).randbytes(BLOCK)


def write_seeded_file(path, size, seed):
    """Deterministic bytes: one seeded 1 MiB block, rotated and stamped with its counter per
    block, so a resume at a wrong offset (even a whole block off) never matches."""
    base = seeded_block(seed)
    digest = hashlib.sha256()
    with open(path, "wb") as out:
        written = 0
        counter = 0
        while written < size:
            shift = (counter * 7919) % BLOCK
            rotated = base[shift:] + base[:shift]
            block = struct.pack("<QQ", counter, seed & 0xFFFFFFFFFFFFFFFF) + rotated[16:]
            block = block[:min(BLOCK, size - written)]
            out.write(block)
            digest.update(block)
            written += len(block)
            counter += 1
    return digest.hexdigest()


def sha256_of_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            chunk = f.read(BLOCK)
            if not chunk:
                break
            digest.update(chunk)
    return digest.hexdigest()


def unscramble(text):
    """Inverse of the client's Scramble: hex of two key bytes followed by the XORed text."""
    if len(text) < 4 or len(text) % 2:
        return None
    try:
        raw = binascii.unhexlify(text)
    except (binascii.Error, ValueError):
        return None
    key, data = raw[:2], raw[2:]
    return bytes(b ^ key[i % 2] for i, b in enumerate(data))


def password_bytes(password):
    forms = {password.encode("utf-8")}
    try:
        forms.add(password.encode("latin-1"))
    except UnicodeEncodeError:
        pass
    return forms


def format_size(size):
    if size >= 1 << 30:
        return "%.1f GB" % (size / (1 << 30))
    if size >= 1 << 20:
        return "%.1f MB" % (size / (1 << 20))
    if size >= 1 << 10:
        return "%.1f KB" % (size / (1 << 10))
    return "%d B" % size


class Service:
    def __init__(self, scenario, state_dir):
        self.lock = threading.RLock()
        self.state_dir = state_dir
        self.files_dir = os.path.join(state_dir, "files")
        self.ftp_dir = os.path.join(state_dir, "ftp")
        os.makedirs(self.files_dir, exist_ok=True)
        os.makedirs(self.ftp_dir, exist_ok=True)
        self.scenario = scenario
        self.host = scenario.get("host") or "127.0.0.1"
        self.http_port = 0
        self.https_port = 0
        self.ftp_port = 0
        self.log = []
        self.faults = []
        self.tokens = {}
        # (account name, folder id) -> a listing answer built once (prebuilt_listings).
        self.listing_cache = {}
        self.accounts = {}
        self.next_id = 1000
        self.update_path = None
        self.update_md5 = ""
        used_ids = set()
        self._collect_ids(scenario.get("accounts", {}), used_ids)
        numeric = [int(i) for i in used_ids if i.isdigit()]
        self.next_id = max([self.next_id] + [n + 1 for n in numeric])
        for name, values in scenario.get("accounts", {}).items():
            account = Account(name, values)
            account.ftp_home = os.path.join(self.ftp_dir, urllib.parse.quote(name, safe=""))
            os.makedirs(account.ftp_home, exist_ok=True)
            self.accounts[name] = account
            self._build_tree(account, account.nodes[ROOT_ID], values.get("tree", []))
        self._prepare_update(scenario.get("update_file"))

    # --- scenario ---------------------------------------------------------------------------

    def _collect_ids(self, accounts, used):
        def walk(items):
            for item in items:
                if item.get("id") is not None:
                    used.add(str(item["id"]))
                walk(item.get("children", []))
        for values in accounts.values():
            walk(values.get("tree", []))

    def new_id(self):
        with self.lock:
            value = str(self.next_id)
            self.next_id += 1
            return value

    def _build_tree(self, account, parent, items):
        for item in items:
            node_id = str(item["id"]) if item.get("id") is not None else self.new_id()
            if "folder" in item:
                node = Node(node_id, item["folder"], False, parent)
                node.time = item.get("time", DEFAULT_TIME)
                account.nodes[node_id] = node
                parent.children.append(node)
                self._build_tree(account, node, item.get("children", []))
                continue
            node = Node(node_id, item["file"], True, parent)
            node.time = item.get("time", DEFAULT_TIME)
            node.playable = bool(item.get("playable", False))
            self._materialise(node, item)
            account.nodes[node_id] = node
            parent.children.append(node)

    def _materialise(self, node, item):
        path = os.path.join(self.files_dir, "file-%s" % node.id)
        if "content" in item:
            data = str(item["content"]).encode("utf-8")
            with open(path, "wb") as f:
                f.write(data)
            node.sha256 = hashlib.sha256(data).hexdigest()
        else:
            node.sha256 = write_seeded_file(path, int(item.get("size", 0)),
                                            int(item.get("seed", 0)))
        node.path = path
        node.size = os.path.getsize(path)

    def _prepare_update(self, item):
        if not item:
            return
        path = os.path.join(self.files_dir, "update.bin")
        if "content" in item:
            with open(path, "wb") as f:
                f.write(str(item["content"]).encode("utf-8"))
        else:
            write_seeded_file(path, int(item.get("size", 0)), int(item.get("seed", 0)))
        self.serve_update(path)

    def serve_update(self, path):
        """Serves the file at `path` (read where it lies) as the new program."""
        if not os.path.isfile(path):
            raise ServiceError("No such file: %s" % path)
        digest = hashlib.md5()
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(BLOCK), b""):
                digest.update(block)
        with self.lock:
            self.update_path = path
            self.update_md5 = digest.hexdigest()
            return {"path": path, "md5": self.update_md5}

    def update_version(self, values):
        """Changes the version answer at run time: version_on_server, url_download, md5_lastver
        (null goes back to the served update file and its digest)."""
        keys = ("version_on_server", "url_download", "md5_lastver")
        with self.lock:
            for key in keys:
                if key in values:
                    self.scenario[key] = values[key]
            return {key: self.scenario.get(key) for key in keys}

    # --- accounts and credentials -----------------------------------------------------------

    def account(self, name):
        with self.lock:
            account = self.accounts.get(name)
            if account is None:
                raise ServiceError("Unknown account")
            return account

    def split_credentials(self, payload):
        """Returns (user, password-checked account or None, remainder after the password).

        The payload is "<machine id>#<version>/<user>/<password>[/fields]"; names and passwords
        may hold "/", so every account is tried, longest name first."""
        slash = payload.find("/")
        if slash < 0:
            return "", None, ""
        rest = payload[slash + 1:]
        with self.lock:
            names = sorted(self.accounts, key=len, reverse=True)
            for name in names:
                if not rest.startswith(name + "/"):
                    continue
                account = self.accounts[name]
                after = rest[len(name) + 1:]
                password = account.password
                if after == password or after.startswith(password + "/"):
                    return name, account, after[len(password):]
                return name, None, ""
        user = rest.split("/", 1)[0]
        return user, None, ""

    def check_ftp_password(self, user, scrambled):
        with self.lock:
            account = self.accounts.get(user)
            if account is None:
                return False
            plain = unscramble(scrambled)
            return plain is not None and plain in password_bytes(account.password)

    def update_account(self, user, values):
        with self.lock:
            account = self.account(user)
            for key, value in values.items():
                if key == "user":
                    continue
                if key == "password":
                    account.password = str(value)
                else:
                    account.values[key] = value
            return self.account_json(account)

    def account_json(self, account):
        result = dict(account.values)
        result["user"] = account.name
        result["password"] = account.password
        return result

    # --- tree operations --------------------------------------------------------------------

    def folder(self, account, folder_id):
        node = account.nodes.get(folder_id or ROOT_ID)
        if node is None or node.is_file:
            raise ServiceError("Folder not found")
        return node

    def entry(self, account, entry_id):
        node = account.nodes.get(entry_id)
        if node is None or node.id == ROOT_ID:
            raise ServiceError("File or folder not found")
        return node

    def create_folder(self, account, parent_id, name):
        with self.lock:
            parent = self.folder(account, parent_id)
            if not name:
                raise ServiceError("Folder name is empty")
            node = Node(self.new_id(), name, False, parent)
            node.time = time.strftime("%Y-%m-%d %H:%M:%S")
            account.nodes[node.id] = node
            parent.children.append(node)
            return node

    def rename(self, account, entry_id, name):
        with self.lock:
            node = self.entry(account, entry_id)
            if not name:
                raise ServiceError("New name is empty")
            node.name = name

    def move(self, account, entry_id, destination_id):
        with self.lock:
            node = self.entry(account, entry_id)
            destination = self.folder(account, destination_id)
            walker = destination
            while walker is not None:
                if walker is node:
                    raise ServiceError("Can not move a folder into itself")
                walker = walker.parent
            node.parent.children.remove(node)
            node.parent = destination
            destination.children.append(node)

    def delete(self, account, entry_id):
        with self.lock:
            node = self.entry(account, entry_id)
            node.parent.children.remove(node)
            stack = [node]
            while stack:
                current = stack.pop()
                account.nodes.pop(current.id, None)
                stack.extend(current.children)

    def register_upload(self, account, server_name, file_name, size_text, folder_id):
        with self.lock:
            folder = self.folder(account, folder_id)
            source = os.path.join(account.ftp_home, server_name)
            if not server_name or "/" in server_name or not os.path.isfile(source):
                raise ServiceError("Uploaded file not found")
            try:
                stated = int(size_text)
            except ValueError:
                raise ServiceError("Invalid file size")
            received = os.path.getsize(source)
            if received != stated:
                raise ServiceError("File size mismatch: received %d of %d bytes"
                                   % (received, stated))
            node = Node(self.new_id(), file_name or server_name, True, folder)
            node.time = time.strftime("%Y-%m-%d %H:%M:%S")
            path = os.path.join(self.files_dir, "file-%s" % node.id)
            try:
                # A hard link keeps the registered bytes even if the FTP copy is deleted later.
                os.link(source, path)
            except OSError:
                path = source
            node.path = path
            node.size = received
            account.nodes[node.id] = node
            folder.children.append(node)
            return node

    def subtree_size(self, node):
        if node.is_file:
            return node.size
        return sum(self.subtree_size(child) for child in node.children)

    def file_sha256(self, node):
        if node.sha256 is None:
            node.sha256 = sha256_of_file(node.path)
        return node.sha256

    def find_file(self, file_id):
        with self.lock:
            for account in self.accounts.values():
                node = account.nodes.get(file_id)
                if node is not None and node.is_file:
                    return account, node
        return None, None

    def link_of(self, node):
        return "https://%s/f/%s/%s.file" % (self.host, node.id, node.name)

    def make_token(self, account, node):
        token = binascii.hexlify(os.urandom(8)).decode()
        with self.lock:
            self.tokens[token] = (account.name, node.id)
        return token

    def resolve_token(self, token):
        with self.lock:
            owner = self.tokens.get(token)
            if owner is None:
                return None, None
            account = self.accounts.get(owner[0])
            node = account.nodes.get(owner[1]) if account else None
            if node is None or not node.is_file:
                return account, None
            return account, node

    # --- control views ----------------------------------------------------------------------

    def tree_json(self, account):
        def build(node):
            if node.is_file:
                return {"id": node.id, "name": node.name, "file": True, "size": node.size,
                        "playable": node.playable}
            return {"id": node.id, "name": node.name, "file": False,
                    "size": self.subtree_size(node),
                    "children": [build(child) for child in node.children]}
        with self.lock:
            return build(account.nodes[ROOT_ID])

    def files_json(self, account):
        with self.lock:
            nodes = [n for n in account.nodes.values() if n.is_file]
        result = {}
        for node in nodes:
            result[node.id] = {"id": node.id, "name": node.name, "folder": node.parent.id,
                               "size": node.size, "sha256": self.file_sha256(node),
                               "playable": node.playable, "link": self.link_of(node)}
        return result

    # --- faults and log ---------------------------------------------------------------------

    def add_faults(self, faults):
        if isinstance(faults, dict):
            faults = [faults]
        checked = []
        for fault in faults:
            if not isinstance(fault, dict):
                raise ValueError("a fault is a JSON object")
            kind = fault.get("kind")
            if kind not in HTTP_KINDS and kind not in FTP_KINDS:
                raise ValueError("unknown fault kind: %r" % kind)
            if fault.get("action") not in ACTIONS:
                raise ValueError("unknown fault action: %r" % fault.get("action"))
            fault = dict(fault)
            fault["times"] = int(fault.get("times", 1))
            checked.append(fault)
        with self.lock:
            self.faults.extend(checked)
        return len(checked)

    def take_fault(self, kind, user=None, file_id=None):
        """The first fault for this request kind, counted as fired; None when none applies.
        "folder" covers both login and listing; a `times` of 0 or less fires for ever."""
        with self.lock:
            for fault in self.faults:
                wanted = fault["kind"]
                if wanted != kind and not (wanted == "folder" and kind in ("login", "listing")):
                    continue
                if fault.get("user") is not None and fault["user"] != user:
                    continue
                if fault.get("file") is not None and str(fault["file"]) != file_id:
                    continue
                if fault["times"] > 0:
                    fault["times"] -= 1
                    if fault["times"] == 0:
                        self.faults.remove(fault)
                return dict(fault)
        return None

    def record(self, entry):
        base = {"kind": "", "method": "", "path": "", "query": "", "param": "", "payload": "",
                "fields": [], "user": "", "range": None, "ftp": None}
        base.update(entry)
        base["time"] = time.time()
        with self.lock:
            self.log.append(base)

    def requests(self, kind=None):
        with self.lock:
            return [e for e in self.log if not kind or e["kind"] == kind]

    def reset(self):
        with self.lock:
            self.log = []
            self.faults = []


def decode_payload(value):
    """Base64 text of a request, taken as it arrived. A client that percent-escaped it anyway
    is forgiven, since "%" never occurs in Base64."""
    if "%" in value:
        value = urllib.parse.unquote(value)
    value = value.strip()
    value += "=" * (-len(value) % 4)
    raw = base64.b64decode(value.encode("ascii"), validate=False)
    return raw.decode("utf-8")


def split_fields(kind, remainder):
    """The "/"-prefixed fields after the password, split the way each kind is built, so that
    free-text names may hold "/"."""
    if not remainder:
        return []
    text = remainder[1:] if remainder.startswith("/") else remainder
    if kind == "create_folder":
        return text.split("/", 1) if "/" in text else [text]
    if kind == "rename_f":
        head, _, rest = text.partition("/")
        name, _, current = rest.rpartition("/")
        return [head, name, current]
    if kind == "upload_done":
        parts = text.rsplit("/", 2)
        if len(parts) < 3:
            return parts
        names, size, folder = parts
        server, _, name = names.partition("/")
        return [server, name, size, folder]
    return text.split("/")


def load_scenario(path):
    with open(path, "r", encoding="utf-8") as f:
        return json.load(f)
