#include "util/pgplot.h"

#include <dlfcn.h>

#include <cstdio>
#include <string>

namespace talva::pgplot {

namespace {

// giza's C interface to PGPLOT (Debian's libcpgplot0).
constexpr const char* kLibrary = "libcpgplot.so.0";

/// The routines, resolved once; all null when the library could not be
/// loaded (`why` then says why).
struct Routines {
  int (*beg)(int, const char*, int, int) = nullptr;
  void (*end)() = nullptr;
  void (*ldev)() = nullptr;
  void (*ask)(int) = nullptr;
  void (*page)() = nullptr;
  void (*env)(float, float, float, float, int, int) = nullptr;
  void (*lab)(const char*, const char*, const char*) = nullptr;
  void (*pt)(int, const float*, const float*, int) = nullptr;
  void (*line)(int, const float*, const float*) = nullptr;
  void (*sci)(int) = nullptr;
  void (*scr)(int, float, float, float) = nullptr;
  void (*sch)(float) = nullptr;
  void (*svp)(float, float, float, float) = nullptr;
  void (*swin)(float, float, float, float) = nullptr;
  void (*box)(const char*, float, int, const char*, float, int) = nullptr;
  void (*mtxt)(const char*, float, float, float, const char*) = nullptr;
  void (*len)(int, const char*, float*, float*) = nullptr;
  void (*qch)(float*) = nullptr;
  void (*qcs)(int, float*, float*) = nullptr;
  void (*qvp)(int, float*, float*, float*, float*) = nullptr;
  std::string why;
};

template <class F>
bool resolve(void* handle, const char* name, F& f, std::string& why) {
  f = reinterpret_cast<F>(dlsym(handle, name));
  if (f == nullptr && why.empty()) why = std::string(kLibrary) + " has no " + name;
  return f != nullptr;
}

Routines load() {
  Routines r;
  // Never closed: the library stays for the rest of the run, as when linked.
  void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* e = dlerror();
    r.why = std::string("cannot load the plotting library ") + kLibrary + (e ? std::string(": ") + e : std::string());
    return r;
  }
  Routines t;
  bool ok = resolve(handle, "cpgbeg", t.beg, r.why);
  ok = resolve(handle, "cpgend", t.end, r.why) && ok;
  ok = resolve(handle, "cpgldev", t.ldev, r.why) && ok;
  ok = resolve(handle, "cpgask", t.ask, r.why) && ok;
  ok = resolve(handle, "cpgpage", t.page, r.why) && ok;
  ok = resolve(handle, "cpgenv", t.env, r.why) && ok;
  ok = resolve(handle, "cpglab", t.lab, r.why) && ok;
  ok = resolve(handle, "cpgpt", t.pt, r.why) && ok;
  ok = resolve(handle, "cpgline", t.line, r.why) && ok;
  ok = resolve(handle, "cpgsci", t.sci, r.why) && ok;
  ok = resolve(handle, "cpgscr", t.scr, r.why) && ok;
  ok = resolve(handle, "cpgsch", t.sch, r.why) && ok;
  ok = resolve(handle, "cpgsvp", t.svp, r.why) && ok;
  ok = resolve(handle, "cpgswin", t.swin, r.why) && ok;
  ok = resolve(handle, "cpgbox", t.box, r.why) && ok;
  ok = resolve(handle, "cpgmtxt", t.mtxt, r.why) && ok;
  ok = resolve(handle, "cpglen", t.len, r.why) && ok;
  ok = resolve(handle, "cpgqch", t.qch, r.why) && ok;
  ok = resolve(handle, "cpgqcs", t.qcs, r.why) && ok;
  ok = resolve(handle, "cpgqvp", t.qvp, r.why) && ok;
  if (!ok) return r;
  return t;
}

/// Loaded on the first call; the table never changes afterwards.
const Routines& routines() {
  static const Routines r = load();
  return r;
}

bool loaded() {
  const Routines& r = routines();
  if (r.beg == nullptr) std::fprintf(stderr, "%s\n", r.why.c_str());
  return r.beg != nullptr;
}

}  // namespace

int beg(int unit, const char* file, int nxsub, int nysub) {
  return loaded() ? routines().beg(unit, file, nxsub, nysub) : 0;
}
void ldev() {
  if (loaded()) routines().ldev();
}
void end() { routines().end(); }
void ask(int flag) { routines().ask(flag); }
void page() { routines().page(); }
void env(float xmin, float xmax, float ymin, float ymax, int just, int axis) {
  routines().env(xmin, xmax, ymin, ymax, just, axis);
}
void lab(const char* xlbl, const char* ylbl, const char* toplbl) { routines().lab(xlbl, ylbl, toplbl); }
void pt(int n, const float* xpts, const float* ypts, int symbol) { routines().pt(n, xpts, ypts, symbol); }
void line(int n, const float* xpts, const float* ypts) { routines().line(n, xpts, ypts); }
void sci(int ci) { routines().sci(ci); }
void scr(int ci, float cr, float cg, float cb) { routines().scr(ci, cr, cg, cb); }
void sch(float size) { routines().sch(size); }
void svp(float xleft, float xright, float ybot, float ytop) { routines().svp(xleft, xright, ybot, ytop); }
void swin(float x1, float x2, float y1, float y2) { routines().swin(x1, x2, y1, y2); }
void box(const char* xopt, float xtick, int nxsub, const char* yopt, float ytick, int nysub) {
  routines().box(xopt, xtick, nxsub, yopt, ytick, nysub);
}
void mtxt(const char* side, float disp, float coord, float fjust, const char* text) {
  routines().mtxt(side, disp, coord, fjust, text);
}
void len(int units, const char* string, float* xl, float* yl) { routines().len(units, string, xl, yl); }
void qch(float* size) { routines().qch(size); }
void qcs(int units, float* xch, float* ych) { routines().qcs(units, xch, ych); }
void qvp(int units, float* x1, float* x2, float* y1, float* y2) { routines().qvp(units, x1, x2, y1, y2); }

}  // namespace talva::pgplot
