#!/usr/bin/env python3
"""A host application in Python: binds the library's C interface with ctypes (standard library
only), records a session's worth of activity, receives a deep link and makes a tracking link.
Then it waits until the service has received the events, the user's profile and the handled
error, as the local measurement service's live state (/_live/state) shows, and says so. A child
that multiprocessing forks (its default start method on Linux) records an event of its own.

    host.py LIBRARY PARTNER_CODE APP_SECRET SERVICE_URL

LIBRARY is the path of libtavrel_mmp.so; SERVICE_URL the local service's base URL.
"""
import ctypes
import json
import multiprocessing
import sys
import threading
import time
import urllib.request

# Longer than the library's request time-out: a link request always ends within it.
WAIT_SECONDS = 90
DEEP_LINK = "pyhost://promo/spring?code=PY3"
EVENTS = ("py_host_opened", "py_host_purchase")
ERROR_LINE = "py_host checkout failed"
USER_ID = "py-host-user-3"
FORKED_EVENT = "py_host_forked_child"

# The C interface's callback types: texts arrive as bytes, valid only during the call.
DeeplinkCallback = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)
LinkCompletion = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p)


def bind(path):
    """The library with the signatures of the functions used here."""
    lib = ctypes.CDLL(path)
    text, number, pointer = ctypes.c_char_p, ctypes.c_double, ctypes.c_void_p
    signatures = {
        "tavrel_mmp_init": [text, text, text],
        "tavrel_mmp_log_event": [text, text],
        "tavrel_mmp_set_current_screen": [text],
        "tavrel_mmp_set_revenue": [text, number, text, text],
        "tavrel_mmp_set_product_list": [text, text],
        "tavrel_mmp_set_user_info": [text],
        "tavrel_mmp_record_error": [text, text],
        "tavrel_mmp_handle_deeplink": [DeeplinkCallback, pointer],
        "tavrel_mmp_open_url": [text],
        "tavrel_mmp_create_link": [text, LinkCompletion, pointer],
        "tavrel_mmp_set_tracking_enabled": [ctypes.c_int],
    }
    for name, arguments in signatures.items():
        function = getattr(lib, name)
        function.argtypes, function.restype = arguments, None
    return lib


def utf8(value):
    """A text or a dictionary as the C interface takes it (None stays NULL)."""
    if value is None or isinstance(value, str):
        return None if value is None else value.encode()
    return json.dumps(value).encode()


def live_state(service_url):
    with urllib.request.urlopen(service_url + "/_live/state", timeout=5) as answer:
        return json.load(answer)


def missing_arrivals(state):
    """What has not reached the service yet, by the live state."""
    names = event_names(state)
    missing = [f"event {name}" for name in EVENTS if name not in names]
    # A device report carries the user: the profile's own, or the session start's once the
    # profile was set before there was a session.
    if not any(installation["userId"] == USER_ID for installation in state["installations"]):
        missing.append("profile")
    if not any(crash["firstLine"] == ERROR_LINE for crash in state["crashes"]["recent"]):
        missing.append("error")
    return missing


def event_names(state):
    return {name for name, _ in state["events"]["byName"]}


def forked_child(lib, service_url):
    """Runs in a child forked without exec: the library there works on its own."""
    lib.tavrel_mmp_set_tracking_enabled(1)
    lib.tavrel_mmp_log_event(utf8(FORKED_EVENT), utf8({"source": "forked child"}))
    deadline = time.monotonic() + WAIT_SECONDS
    while FORKED_EVENT not in event_names(live_state(service_url)):
        if time.monotonic() > deadline:
            sys.exit(1)
        time.sleep(0.2)


def main(library, partner_code, app_secret, service_url):
    lib = bind(library)
    lib.tavrel_mmp_init(utf8(partner_code), utf8(app_secret),
                        utf8({"showLog": False, "autoTrackingScreen": False}))
    # Asked for at once: the request goes out with the session the start brings. The completion
    # runs on a library thread; Python must not shut down before it came, as a thread calling
    # into a finished interpreter is ended on the spot.
    link, link_done = {}, threading.Event()

    def on_link(result, error, _user):
        link.update(result=result and json.loads(result), error=error and json.loads(error))
        link_done.set()

    on_link_completion = LinkCompletion(on_link)
    lib.tavrel_mmp_create_link(utf8({"fields": [{"key": "utm_source", "value": "python_host"}]}),
                               on_link_completion, None)

    lib.tavrel_mmp_log_event(utf8(EVENTS[0]), utf8({"source": "python_host", "build": 3}))
    lib.tavrel_mmp_set_current_screen(utf8("Home"))
    lib.tavrel_mmp_set_product_list(utf8("cart"), utf8([
        {"p_id": "sku-1", "p_name": "Running shoe", "p_price": "59.90", "p_quantity": 2,
         "p_categories": [{"c_id": "c-7", "c_name": "Footwear"}]}]))
    lib.tavrel_mmp_set_revenue(utf8("order-2002"), 119.80, utf8("EUR"), utf8({"coupon": "SPRING"}))
    lib.tavrel_mmp_log_event(utf8(EVENTS[1]), None)
    lib.tavrel_mmp_set_user_info(utf8({"userId": USER_ID, "name": "Grace", "age": 45,
                                       "email": "grace@example.com", "country": "US"}))
    lib.tavrel_mmp_record_error(utf8("CheckoutError"), utf8(ERROR_LINE + "\n  at host.py:main"))

    # ctypes callbacks must outlive their registration: these stay referenced until the end.
    received = []
    on_deeplink = DeeplinkCallback(lambda url, _user: received.append(url.decode()))
    lib.tavrel_mmp_handle_deeplink(on_deeplink, None)
    lib.tavrel_mmp_open_url(utf8(DEEP_LINK))  # calls back on this thread, before returning
    if received != [DEEP_LINK]:
        print(f"python_host: the opened link did not come back at once: {received}",
              file=sys.stderr)
        return 1

    deadline = time.monotonic() + WAIT_SECONDS
    missing = missing_arrivals(live_state(service_url))
    while missing and time.monotonic() < deadline:
        time.sleep(0.2)
        missing = missing_arrivals(live_state(service_url))

    # A child forked while the library runs: a call that hangs there would keep it alive.
    child = multiprocessing.get_context("fork").Process(target=forked_child,
                                                        args=(lib, service_url))
    child.start()
    child.join(WAIT_SECONDS + 10)
    if child.is_alive():
        child.kill()
        child.join()
        missing.append("the forked child's event (the child hung)")
    elif child.exitcode != 0:
        missing.append("the forked child's event")
    link_done.wait(max(0.0, deadline - time.monotonic()))
    lib.tavrel_mmp_handle_deeplink(DeeplinkCallback(), None)  # NULL: none while Python exits

    problems = [f"never arrived: {what}" for what in missing]
    # Once the service has answered whether a deferred link waited, the link may come again.
    if set(received) != {DEEP_LINK}:
        problems.append(f"deep links received: {received}")
    if not link.get("result"):
        problems.append(f"no tracking link: {link.get('error')}")
    for problem in problems:
        print(f"python_host: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"python_host: 2 events, the profile, the error and a forked child's event reached "
          f"the service; "
          f"link {link['result']['shortLink']}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(f"usage: {sys.argv[0]} LIBRARY PARTNER_CODE APP_SECRET SERVICE_URL")
    sys.exit(main(*sys.argv[1:]))
