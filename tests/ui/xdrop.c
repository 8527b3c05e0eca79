/* Drops files onto the top-level X window whose title begins with a given
 * text, as a file manager does (the XDND protocol, version 5, offering
 * text/uri-list), so that the real program's window can be given documents
 * under Xvfb, where no file manager runs.
 * Usage: quarn_xdrop TITLE-PREFIX PATH...  (absolute paths)
 * Exit status 0 when the window accepted the drop and said it was done. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>

static Window Find(Display* d, Window w, const char* prefix) {
  XTextProperty name;
  if (XGetWMName(d, w, &name) && name.value) {
    int match = strncmp((const char*)name.value, prefix, strlen(prefix)) == 0;
    XFree(name.value);
    if (match) return w;
  }
  Window root, parent, *children = NULL;
  unsigned int n = 0;
  Window found = 0;
  if (XQueryTree(d, w, &root, &parent, &children, &n)) {
    for (unsigned int i = 0; i < n && !found; ++i) found = Find(d, children[i], prefix);
    if (children) XFree(children);
  }
  return found;
}

/* "file://" URIs, one a line, bytes other than unreserved ones percent-encoded. */
static char* UriList(int count, char** paths) {
  size_t size = 1;
  for (int i = 0; i < count; ++i) size += 7 + 3 * strlen(paths[i]) + 2;
  char* list = malloc(size);
  char* out = list;
  for (int i = 0; i < count; ++i) {
    out += sprintf(out, "file://");
    for (const unsigned char* p = (const unsigned char*)paths[i]; *p; ++p) {
      if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') || strchr("/-._~", *p))
        *out++ = (char)*p;
      else
        out += sprintf(out, "%%%02X", *p);
    }
    *out++ = '\r';
    *out++ = '\n';
  }
  *out = '\0';
  return list;
}

static void Send(Display* d, Window target, Atom type, long l0, long l1, long l2, long l3, long l4) {
  XEvent e;
  memset(&e, 0, sizeof e);
  e.xclient.type = ClientMessage;
  e.xclient.window = target;
  e.xclient.message_type = type;
  e.xclient.format = 32;
  e.xclient.data.l[0] = l0;
  e.xclient.data.l[1] = l1;
  e.xclient.data.l[2] = l2;
  e.xclient.data.l[3] = l3;
  e.xclient.data.l[4] = l4;
  XSendEvent(d, target, False, NoEventMask, &e);
  XFlush(d);
}

/* The next event, or 0 after ten seconds without one. */
static int NextEvent(Display* d, XEvent* e) {
  time_t end = time(NULL) + 10;
  while (!XPending(d)) {
    if (time(NULL) > end) return 0;
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(ConnectionNumber(d), &fds);
    struct timeval tv = {0, 100000};
    select(ConnectionNumber(d) + 1, &fds, NULL, NULL, &tv);
  }
  XNextEvent(d, e);
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s TITLE-PREFIX PATH...\n", argv[0]);
    return 2;
  }
  Display* d = XOpenDisplay(NULL);
  if (!d) {
    fprintf(stderr, "%s: cannot open the display\n", argv[0]);
    return 2;
  }
  Window root = DefaultRootWindow(d);
  Window target = Find(d, root, argv[1]);
  if (!target) {
    fprintf(stderr, "%s: no window titled \"%s...\"\n", argv[0], argv[1]);
    return 1;
  }
  Atom enter = XInternAtom(d, "XdndEnter", False), position = XInternAtom(d, "XdndPosition", False);
  Atom status = XInternAtom(d, "XdndStatus", False), drop = XInternAtom(d, "XdndDrop", False);
  Atom finished = XInternAtom(d, "XdndFinished", False), selection = XInternAtom(d, "XdndSelection", False);
  Atom copy = XInternAtom(d, "XdndActionCopy", False), uri_list = XInternAtom(d, "text/uri-list", False);
  char* list = UriList(argc - 2, argv + 2);

  /* The source: an unmapped window that owns the drop's selection, with a
     server time stamp taken from a property change. */
  Window source = XCreateSimpleWindow(d, root, 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(d, source, PropertyChangeMask);
  XChangeProperty(d, source, XA_WM_NAME, XA_STRING, 8, PropModeAppend, NULL, 0);
  XEvent e;
  Time stamp = CurrentTime;
  while (NextEvent(d, &e))
    if (e.type == PropertyNotify) {
      stamp = e.xproperty.time;
      break;
    }
  XSetSelectionOwner(d, selection, source, stamp);

  XWindowAttributes attr;
  XGetWindowAttributes(d, target, &attr);
  int x = 0, y = 0;
  Window child;
  XTranslateCoordinates(d, target, root, attr.width / 2, attr.height / 2, &x, &y, &child);
  Send(d, target, enter, (long)source, 5L << 24, (long)uri_list, None, None);
  Send(d, target, position, (long)source, 0, ((long)x << 16) | y, (long)stamp, (long)copy);

  int accepted = -1, done = 0, result = 1;
  while (!done && NextEvent(d, &e)) {
    if (e.type == SelectionRequest) {
      XSelectionRequestEvent* r = &e.xselectionrequest;
      XEvent reply;
      memset(&reply, 0, sizeof reply);
      reply.xselection.type = SelectionNotify;
      reply.xselection.requestor = r->requestor;
      reply.xselection.selection = r->selection;
      reply.xselection.target = r->target;
      reply.xselection.time = r->time;
      reply.xselection.property = None;
      if (r->target == uri_list) {
        Atom property = r->property != None ? r->property : r->target;
        XChangeProperty(d, r->requestor, property, uri_list, 8, PropModeReplace, (unsigned char*)list,
                        (int)strlen(list));
        reply.xselection.property = property;
      }
      XSendEvent(d, r->requestor, False, NoEventMask, &reply);
      XFlush(d);
    } else if (e.type == ClientMessage && e.xclient.message_type == status && accepted < 0) {
      accepted = (int)(e.xclient.data.l[1] & 1);
      if (!accepted) {
        fprintf(stderr, "%s: the window does not take the drop\n", argv[0]);
        done = 1;
      } else {
        Send(d, target, drop, (long)source, 0, (long)stamp, 0, 0);
      }
    } else if (e.type == ClientMessage && e.xclient.message_type == finished) {
      result = 0;
      done = 1;
    }
  }
  if (!done) fprintf(stderr, "%s: the drop did not finish\n", argv[0]);
  free(list);
  XCloseDisplay(d);
  return result;
}
