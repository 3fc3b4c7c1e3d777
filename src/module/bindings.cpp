// Binds the module functions.
//
// Each function is a builtin whose `self` is the module itself, so it reports
// __module__ "Tavrin" and __qualname__ equal to its name, and finds the
// module's globals through `self`. Arguments go through CPython's own parser,
// which gives the interpreter's usual TypeError for a wrong call.
#include "figi/figi.hpp"
#include "inputs/inputs.hpp"
#include "seclist/seclist.hpp"
#include "module/module.hpp"
#include "report/report.hpp"

namespace tavrin {
namespace {

template <const char* TracebackName, py::object (*Stage)(py::handle)>
PyObject* call_without_arguments(PyObject* module, PyObject*) {
    return entry_point(TracebackName, __LINE__, [&] { return Stage(module); });
}

// Parses up to three parameters by position or keyword; `Format` holds the
// "O" codes and, after a colon, the function's name for error messages.
template <const char* Format, const char* const* Keywords>
bool parse_arguments(PyObject* args, PyObject* kwargs, PyObject* (&values)[3]) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, Format, const_cast<char**>(Keywords),
                                       &values[0], &values[1], &values[2]) != 0;
}

py::object borrowed(PyObject* value) { return py::reinterpret_borrow<py::object>(value); }

template <const char* TracebackName, const char* Format, const char* const* Keywords,
          py::object (*Stage)(py::handle, py::object)>
PyObject* call_with_one(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* values[3] = {};
    if (!parse_arguments<Format, Keywords>(args, kwargs, values)) return nullptr;
    return entry_point(TracebackName, __LINE__,
                       [&] { return Stage(module, borrowed(values[0])); });
}

template <const char* TracebackName, const char* Format, const char* const* Keywords,
          py::object (*Stage)(py::handle, py::object, py::object)>
PyObject* call_with_two(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* values[3] = {};
    if (!parse_arguments<Format, Keywords>(args, kwargs, values)) return nullptr;
    return entry_point(TracebackName, __LINE__, [&] {
        return Stage(module, borrowed(values[0]), borrowed(values[1]));
    });
}

template <const char* TracebackName, const char* Format, const char* const* Keywords,
          py::object (*Stage)(py::handle, py::object, py::object, py::object)>
PyObject* call_with_three(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* values[3] = {};
    if (!parse_arguments<Format, Keywords>(args, kwargs, values)) return nullptr;
    return entry_point(TracebackName, __LINE__, [&] {
        return Stage(module, borrowed(values[0]), borrowed(values[1]), borrowed(values[2]));
    });
}

template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// Names as they appear in tracebacks, argument formats and keyword lists.
constexpr char tb_map_jobs[] = "Tavrin.map_jobs";
constexpr char tb_openfigi[] = "Tavrin.openfigi";
constexpr char tb_cleancusip[] = "Tavrin.cleancusip";
constexpr char tb_getsec[] = "Tavrin.getsec";
constexpr char tb_storesec[] = "Tavrin.storesec";
constexpr char tb_storeraw[] = "Tavrin.storeraw";
constexpr char tb_storerem[] = "Tavrin.storerem";
constexpr char tb_createxml[] = "Tavrin.createxml";
constexpr char tb_f13excel[] = "Tavrin.f13excel";
constexpr char tb_cruncher[] = "Tavrin.cruncher";

constexpr char map_jobs_format[] = "O:map_jobs";
constexpr const char* map_jobs_keywords[] = {"jobs", nullptr};
constexpr char openfigi_format[] = "O:openfigi";
constexpr const char* openfigi_keywords[] = {"cusip", nullptr};
constexpr char cleancusip_format[] = "OOO:cleancusip";
constexpr const char* cleancusip_keywords[] = {"df", "cusip", "mpath", nullptr};
constexpr char createxml_format[] = "O:createxml";
constexpr const char* createxml_keywords[] = {"df", nullptr};
constexpr char f13excel_format[] = "OO:f13excel";
constexpr const char* f13excel_keywords[] = {"sec", "bswout", nullptr};

constexpr int kWithArguments = METH_VARARGS | METH_KEYWORDS;

// What help() shows. The first line is the signature as inspect reads it
// ("$module" is the bound module, left out of the signature shown); the rest
// says what the function does and where its output goes.
constexpr char map_jobs_doc[] =
    "map_jobs($module, /, jobs)\n--\n\n"
    "Posts the OpenFIGI mapping jobs (a list of {\"idType\", \"idValue\"} dicts) in one\n"
    "request to openfigi_url and returns the service's decoded JSON answer.";
constexpr char openfigi_doc[] =
    "openfigi($module, /, cusip)\n--\n\n"
    "Returns the FIGI of one CUSIP from OpenFIGI (through map_jobs), or \" \" when the\n"
    "service knows none or cannot be asked.";
constexpr char cleancusip_doc[] =
    "cleancusip($module, /, df, cusip, mpath)\n--\n\n"
    "Returns the table df with its headings and its CUSIP column `cusip` cleaned;\n"
    "with mydebug on, also saves it as the workbook mpath.";
constexpr char getsec_doc[] =
    "getsec($module, /)\n--\n\n"
    "Asks for the quarter's list of 13(f) securities at pdf_url, conditionally\n"
    "when one is stored; a download that reads as the quarter's list replaces\n"
    "Store/F13SEC.pdf (sec_pdf_path) and Store/F13X.xlsx together.";
constexpr char storesec_doc[] =
    "storesec($module, /)\n--\n\n"
    "Returns the tables of Store/F13SEC.pdf (extracted this run or reused while the\n"
    "file is the same) as one cleaned table (Store/F13CX.xlsx with mydebug on).";
constexpr char storeraw_doc[] =
    "storeraw($module, /)\n--\n\n"
    "Reads the portfolio workbook Data/Portfolio.xlsx and returns it cleaned\n"
    "(Store/CPortfolio.xlsx with mydebug on).";
constexpr char storerem_doc[] =
    "storerem($module, /)\n--\n\n"
    "Reads the removal workbook Data/Removal.xlsx and returns it cleaned\n"
    "(Store/CRemoval.xlsx with mydebug on).";
constexpr char createxml_doc[] =
    "createxml($module, /, df)\n--\n\n"
    "Writes the information table df as the EDGAR XML document\n"
    "Results/F13Results.xml, printing one line per entry.";
constexpr char f13excel_doc[] =
    "f13excel($module, /, sec, bswout)\n--\n\n"
    "Builds the information table from the list sec and the reconciled holdings\n"
    "bswout, FIGIs from OpenFIGI, and has createxml write it (Results/F13Results.xlsx\n"
    "with mydebug on).";
constexpr char cruncher_doc[] =
    "cruncher($module, /)\n--\n\n"
    "Runs the whole quarter again, as the import did: list download, workbooks,\n"
    "reconciliation (Store/Results.xlsx with mydebug on) and the information table.";

// In binding order; each stage finds the next by name at the moment of use.
PyMethodDef functions[] = {
    {"map_jobs",
     as_cfunction(call_with_one<tb_map_jobs, map_jobs_format, map_jobs_keywords, map_jobs>),
     kWithArguments, map_jobs_doc},
    {"openfigi",
     as_cfunction(call_with_one<tb_openfigi, openfigi_format, openfigi_keywords, openfigi>),
     kWithArguments, openfigi_doc},
    {"cleancusip",
     as_cfunction(
         call_with_three<tb_cleancusip, cleancusip_format, cleancusip_keywords, cleancusip>),
     kWithArguments, cleancusip_doc},
    {"getsec", as_cfunction(call_without_arguments<tb_getsec, getsec>), METH_NOARGS, getsec_doc},
    {"storesec", as_cfunction(call_without_arguments<tb_storesec, storesec>), METH_NOARGS,
     storesec_doc},
    {"storeraw", as_cfunction(call_without_arguments<tb_storeraw, storeraw>), METH_NOARGS,
     storeraw_doc},
    {"storerem", as_cfunction(call_without_arguments<tb_storerem, storerem>), METH_NOARGS,
     storerem_doc},
    {"createxml",
     as_cfunction(call_with_one<tb_createxml, createxml_format, createxml_keywords, createxml>),
     kWithArguments, createxml_doc},
    {"f13excel",
     as_cfunction(call_with_two<tb_f13excel, f13excel_format, f13excel_keywords, f13excel>),
     kWithArguments, f13excel_doc},
    {"cruncher", as_cfunction(call_without_arguments<tb_cruncher, cruncher>), METH_NOARGS,
     cruncher_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void bind_functions(py::module_ module) {
    py::str module_name("Tavrin");
    for (PyMethodDef* def = functions; def->ml_name; ++def) {
        PyObject* function = PyCFunction_NewEx(def, module.ptr(), module_name.ptr());
        if (!function) throw py::error_already_set();
        module.attr(def->ml_name) = py::reinterpret_steal<py::object>(function);
    }
}

}  // namespace tavrin
