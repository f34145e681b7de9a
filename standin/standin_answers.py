"""The answer documents of the service: generic, listing, login, startup, direct link, version.

Login, listing and startup answers put a human-readable "<detail>" block on its own lines in
front of the XML document. The whole answer is then not well-formed XML, which is exactly what
the client expects of them.
"""

from xml.sax.saxutils import escape

from standin_model import ROOT_ID, format_size

XML_HEAD = '<?xml version="1.0" encoding="UTF-8"?>'


def element(name, value):
    """<name>value</name>, or nothing at all when the value is None (an absent element)."""
    if value is None:
        return ""
    return "<%s>%s</%s>" % (name, escape(str(value)), name)


def generic(value, text):
    return "%s<response>%s%s</response>" % (XML_HEAD, element("value", value),
                                            element("string", text))


def detail_block(text):
    return "<detail>\n%s\n</detail>\n" % text


def account_detail(service, account):
    with service.lock:
        root = account.nodes[ROOT_ID]
        used = service.subtree_size(root)
        files = sum(1 for node in account.nodes.values() if node.is_file)
    return "<b>Account:</b> %s<br/>Used: %s<br/>Files: %d" % (escape(account.name),
                                                              format_size(used), files)


def entry_xml(service, node):
    tag = "file" if node.is_file else "folder"
    size = node.size if node.is_file else service.subtree_size(node)
    link = service.link_of(node) if node.is_file else ""
    return "<%s>%s%s%s%s%s</%s>" % (tag, element("name", node.name), element("size", size),
                                    element("time", node.time), element("link", link),
                                    element("id", node.id), tag)


def listdata(service, folder):
    with service.lock:
        parts = ["<listdata>"]
        if folder.parent is not None:
            parts.append(element("parent_folder_id", folder.parent.id))
        parts.append(element("current_folder_id", folder.id))
        # Files first on purpose: the client must sort folders to the front by itself.
        parts.extend(entry_xml(service, n) for n in folder.children if n.is_file)
        parts.extend(entry_xml(service, n) for n in folder.children if not n.is_file)
        parts.append("</listdata>")
        return "".join(parts)


def listing(service, account, folder):
    return "%s%s\n<response><value>1</value>%s</response>\n" % (
        detail_block(account_detail(service, account)), XML_HEAD, listdata(service, folder))


def prebuild_listings(service):
    """Builds every folder's listing answer once, as bytes, for the prebuilt_listings option."""
    for account in service.accounts.values():
        for node in list(account.nodes.values()):
            if not node.is_file:
                key = (account.name, node.id)
                service.listing_cache[key] = listing(service, account, node).encode("utf-8")


def login(service, account):
    values = account.values
    body = "".join([
        "<response><value>1</value>",
        element("param1", values.get("param1")),
        element("reason1", values.get("reason1")),
        element("param2", values.get("param2")),
        element("reason2", values.get("reason2")),
        element("max_usp", values.get("max_usp")),
        listdata(service, account.nodes[ROOT_ID]),
        "</response>",
    ])
    return "%s%s\n%s\n" % (detail_block(account_detail(service, account)), XML_HEAD, body)


def startup(service):
    scenario = service.scenario
    svr = scenario.get("svr") or "127.0.0.1"
    svp = scenario.get("svp") or service.ftp_port
    body = "<response><value>1</value>%s%s%s</response>" % (
        element("svr", svr), element("svp", svp), element("popup_url", scenario.get("popup_url")))
    text = "<b>Welcome!</b><br/>Server version %s" % escape(
        str(scenario.get("version_on_server") or "2.56"))
    return "%s%s\n%s\n" % (detail_block(text), XML_HEAD, body)


def direct_link(link, node, overrides=None):
    values = {"direct_link": link, "size": node.size, "playable": 1 if node.playable else 0,
              "filename": node.name, "fileid": node.id}
    values.update(overrides or {})
    return "%s<response><value>1</value>%s</response>" % (
        XML_HEAD, "".join(element(name, values[name]) for name in
                          ("direct_link", "size", "playable", "filename", "fileid")))


def version(service):
    scenario = service.scenario
    url = scenario.get("url_download")
    if url is None:
        url = "https://%s:%d/update/tool.exe" % (service.host, service.https_port)
    md5 = scenario.get("md5_lastver")
    if md5 is None:
        md5 = service.update_md5
    return "%s<response>%s%s%s</response>" % (
        XML_HEAD, element("version_on_server", scenario.get("version_on_server") or "2.56"),
        element("url_download", url), element("md5_lastver", md5))
