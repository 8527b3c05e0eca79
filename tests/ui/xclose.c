/* Asks the top-level X window whose title begins with a given text to close,
 * as a window manager's close box does (WM_DELETE_WINDOW), so the real
 * program can be ended gracefully under Xvfb, where no window manager runs.
 * Usage: quarn_xclose TITLE-PREFIX [--last].  With --last, the last such
 * window in stacking order (the newest, such as a message box) is asked
 * rather than the first.  Exit status 0 when a window was asked. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <string.h>

/* The first (or, with last set, the last) window below w whose title
   begins with prefix, children in stacking order. */
static Window Find(Display* d, Window w, const char* prefix, int last) {
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
    for (unsigned int i = 0; i < n && (last || !found); ++i) {
      Window hit = Find(d, children[i], prefix, last);
      if (hit) found = hit;
    }
    if (children) XFree(children);
  }
  return found;
}

int main(int argc, char** argv) {
  const int last = argc == 3 && strcmp(argv[2], "--last") == 0;
  if (argc != 2 && !last) {
    fprintf(stderr, "usage: %s TITLE-PREFIX [--last]\n", argv[0]);
    return 2;
  }
  Display* d = XOpenDisplay(NULL);
  if (!d) {
    fprintf(stderr, "%s: cannot open the display\n", argv[0]);
    return 2;
  }
  Window w = Find(d, DefaultRootWindow(d), argv[1], last);
  if (!w) {
    fprintf(stderr, "%s: no window titled \"%s...\"\n", argv[0], argv[1]);
    XCloseDisplay(d);
    return 1;
  }
  XEvent e;
  memset(&e, 0, sizeof e);
  e.xclient.type = ClientMessage;
  e.xclient.window = w;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = (long)XInternAtom(d, "WM_DELETE_WINDOW", False);
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, w, False, NoEventMask, &e);
  XFlush(d);
  XCloseDisplay(d);
  return 0;
}
