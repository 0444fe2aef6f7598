#pragma once
// The PGPLOT routines the programs draw with (giza's libcpgplot), loaded the
// first time one is called: a run that draws no plot (device /null, or no
// plot asked for) never loads the library and its X11, cairo and fontconfig
// dependencies, which cost more at start-up than a short run's work.
//
// Each routine is the cpgXXX routine of the same name without the prefix,
// with its arguments. When the library cannot be loaded, `beg` and `ldev`
// say why on standard error and `beg` reports the device as not opened
// (returns 0); no other routine is called before a `beg` that succeeded.

namespace talva::pgplot {

int beg(int unit, const char* file, int nxsub, int nysub);
void end();
void ldev();
void ask(int flag);
void page();
void env(float xmin, float xmax, float ymin, float ymax, int just, int axis);
void lab(const char* xlbl, const char* ylbl, const char* toplbl);
void pt(int n, const float* xpts, const float* ypts, int symbol);
void line(int n, const float* xpts, const float* ypts);
void sci(int ci);
void scr(int ci, float cr, float cg, float cb);
void sch(float size);
void svp(float xleft, float xright, float ybot, float ytop);
void swin(float x1, float x2, float y1, float y2);
void box(const char* xopt, float xtick, int nxsub, const char* yopt, float ytick, int nysub);
void mtxt(const char* side, float disp, float coord, float fjust, const char* text);
void len(int units, const char* string, float* xl, float* yl);
void qch(float* size);
void qcs(int units, float* xch, float* ych);
void qvp(int units, float* x1, float* x2, float* y1, float* y2);

}  // namespace talva::pgplot
