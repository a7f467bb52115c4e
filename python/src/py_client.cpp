// quillonc::Client over the Python client `quillonc`: each request is made
// with the keywords the module has always passed, and each answer (pandas
// tables, records, dates) is turned into the module's types through numpy.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "py_outside.hpp"
#include "tessal_plus/bundle/outside/host.hpp"

namespace py_outside {

namespace {

// Which modules are the client and the adapters: the package's, unless the
// command line that embeds the interpreter names others at its start. The
// modules themselves are looked up in sys.modules at each use, so no Python
// object is held past a call (none would outlive the interpreter).
std::string& client_module_name() {
  static std::string name = "quillonc";
  return name;
}
std::string& adapters_module_name() {
  static std::string name = "tessal_plus.bundle._adapters";
  return name;
}

py::object quillonc_module() { return py::module_::import(client_module_name().c_str()); }

py::object to_datetime(util::Timestamp t) {
  const std::int32_t d = util::timestamp_date(t);
  const std::int64_t us = util::timestamp_time_of_day(t), sec = us / util::kMicrosPerSecond;
  return adapters().attr("to_datetime")(d / 10000, d / 100 % 100, d % 100, sec / 3600, sec / 60 % 60, sec % 60,
                                         us % util::kMicrosPerSecond);
}

template <class T>
std::vector<T> to_vector(const py::handle& a) {
  const auto arr = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a);
  if (!arr) throw quillonc::ServiceError("the service's answer holds a column that is not numeric");
  return std::vector<T>(arr.data(), arr.data() + arr.size());
}

std::vector<std::string> text_column(const py::dict& table, const char* name) {
  return table.contains(name) ? table[name].cast<std::vector<std::string>>() : std::vector<std::string>{};
}

class PythonClient : public quillonc::Client {
 public:
  // `host_ignores_warnings`: set when embedded in the command line, whose
  // native host's warning scope also covers the client's Python warnings.
  explicit PythonClient(std::function<bool()> host_ignores_warnings = {})
      : embedded_(static_cast<bool>(host_ignores_warnings)), host_ignores_warnings_(std::move(host_ignores_warnings)) {}

  void init(bool enable_bjse) override {
    call([&] { quillonc_module().attr("init")(py::arg("enable_bjse") = enable_bjse); });
  }

  bool bjse_enabled() override {
    return call([&] { return py::bool_(quillonc_module().attr("client").attr("bjse_enabled")()).cast<bool>(); });
  }

  std::vector<quillonc::Instrument> all_instruments(const std::optional<std::string>& type, const std::string& market,
                                                    std::optional<util::Timestamp> date) override {
    return call([&] {
      auto q = quillonc_module();
      py::object df;
      if (!type) df = q.attr("all_instruments")();
      else if (market == "hk") df = q.attr("all_instruments")(*type, py::arg("market") = market);
      else if (date) df = q.attr("all_instruments")(py::arg("type") = *type, py::arg("date") = to_datetime(*date));
      else df = q.attr("all_instruments")(adapters().attr("instrument_type")(*type));
      return instruments_of(adapters().attr("instrument_table")(df).cast<py::dict>());
    });
  }

  std::optional<std::vector<quillonc::ConvertibleInstrument>> convertible_instruments(const std::vector<std::string>& ids) override {
    return call([&]() -> std::optional<std::vector<quillonc::ConvertibleInstrument>> {
      const py::object answer = quillonc_module().attr("convertible").attr("instruments")(py::cast(ids));
      if (answer.is_none()) return std::nullopt;
      std::vector<quillonc::ConvertibleInstrument> out;
      for (const auto& r : adapters().attr("records")(answer))
        out.push_back({r["order_book_id"].cast<std::string>(), r["stock_code"].cast<std::string>()});
      return out;
    });
  }

  std::vector<quillonc::Instrument> instruments(const std::string& order_book_id, const std::string& market) override {
    return call([&] {
      const py::object answer = quillonc_module().attr("instruments")(order_book_id, py::arg("market") = market);
      std::vector<quillonc::Instrument> out;
      for (const auto& r : adapters().attr("records")(answer))
        out.push_back({r["order_book_id"].cast<std::string>(), r["type"].cast<std::string>(), r["exchange"].cast<std::string>(),
                       r["de_listed_date"].cast<std::string>(), r["listed_date"].cast<std::string>(),
                       r["underlying_symbol"].cast<std::string>(), r["underlying_order_book_id"].cast<std::string>()});
      return out;
    });
  }

  std::int32_t get_next_trading_date(std::int32_t date, const std::string& market) override {
    return call([&] {
      const py::object d = quillonc_module().attr("get_next_trading_date")(date, py::arg("market") = market);
      return adapters().attr("next_trading_date")(d).cast<std::int32_t>();
    });
  }

  std::optional<quillonc::Table> get_price(const std::string& id, std::int32_t start, std::int32_t end, quillonc::Frequency f,
                                           const std::string& market) override {
    return call([&] {
      auto q = quillonc_module();
      py::object df;
      if (f == quillonc::Frequency::minute)
        df = q.attr("get_price")(id, py::arg("start_date") = start, py::arg("end_date") = end, py::arg("frequency") = "1m",
                                 py::arg("adjust_type") = "none", py::arg("expect_df") = true, py::arg("market") = market);
      else if (f == quillonc::Frequency::tick)
        df = q.attr("get_price")(id, start, end, py::arg("frequency") = "tick", py::arg("adjust_type") = "none",
                                 py::arg("expect_df") = true);
      else
        df = q.attr("get_price")(id, start, end, py::arg("expect_df") = true);
      return table_of(id, adapters().attr("price_table")(df));
    });
  }

  std::optional<quillonc::Table> day_bars_since_stored(const std::string& id, std::int32_t stored_day, std::int32_t end) override {
    return call([&] {
      const py::object df = quillonc_module().attr("get_price")(id, util::format_compact(stored_day), end, py::arg("expect_df") = true);
      return table_of(id, adapters().attr("price_table")(df));
    });
  }

  bool has_price(const std::string& id, std::int32_t day, quillonc::Frequency f) override {
    return call([&] {
      const bool tick = f == quillonc::Frequency::tick;
      // The minute check asks for a day of the calendar, an integer; the
      // tick check for a day of the file, passed as the 8-character text
      // that names it there, as the host's Python code passes it.
      const py::object d = tick ? py::object(py::str(util::format_compact(day))) : py::object(py::int_(day));
      return !quillonc_module().attr("get_price")(id, d, d, py::arg("frequency") = tick ? "tick" : "1m").is_none();
    });
  }

  void probe_price(const std::string& id) override {
    call([&] { quillonc_module().attr("get_price")(id); });
  }

  std::vector<std::pair<std::int32_t, bool>> is_suspended(const std::string& id, std::int32_t start, std::int32_t end) override {
    return call([&] {
      const py::object df = quillonc_module().attr("is_suspended")(id, start, end);
      const py::tuple flags = adapters().attr("suspended_flags")(df, id);
      const auto days = to_vector<std::int64_t>(flags[0]);
      const auto values = to_vector<bool>(flags[1]);
      std::vector<std::pair<std::int32_t, bool>> out;
      for (std::size_t i = 0; i < days.size() && i < values.size(); ++i) out.emplace_back(static_cast<std::int32_t>(days[i]), values[i]);
      return out;
    });
  }

  // A worker forked by a program that embeds the interpreter lets Python
  // (and the client, through its fork hooks) put its state in order first.
  void on_worker_start() override {
    if (!embedded_) return;
    py::gil_scoped_acquire gil;
    PyOS_AfterFork_Child();
  }

 private:
  bool embedded_;
  std::function<bool()> host_ignores_warnings_;

  // Runs a request with the GIL held; the client's own errors become the
  // module's: PermissionDenied keeps its kind, anything else is a failure of
  // the service.
  template <class F>
  auto call(F&& f) -> decltype(f()) {
    py::gil_scoped_acquire gil;
    try {
      // Embedded in the command line, the native host's warning scope also
      // covers the client's Python warnings.
      if (embedded_ && host_ignores_warnings_()) {
        py::object scope = adapters().attr("IgnoreWarnings")();
        struct Restore {
          py::object& s;
          ~Restore() {
            try {
              s.attr("restore")();
            } catch (py::error_already_set&) {
            }
          }
        } restore{scope};
        return f();
      }
      return f();
    } catch (py::error_already_set& e) {
      throw_raised(e);
    } catch (const py::cast_error& e) {
      throw quillonc::ServiceError(std::string("unexpected answer from the service: ") + e.what());
    }
  }

  static std::vector<quillonc::Instrument> instruments_of(const py::dict& t) {
    const auto ids = text_column(t, "order_book_id");
    const auto type = text_column(t, "type"), exchange = text_column(t, "exchange"), de_listed = text_column(t, "de_listed_date"),
               listed = text_column(t, "listed_date"), symbol = text_column(t, "underlying_symbol"),
               under = text_column(t, "underlying_order_book_id");
    std::vector<quillonc::Instrument> out(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      out[i].order_book_id = ids[i];
      out[i].type = type[i], out[i].exchange = exchange[i], out[i].underlying_symbol = symbol[i];
      out[i].underlying_order_book_id = under[i];
      if (!de_listed[i].empty()) out[i].de_listed_date = de_listed[i];
      if (!listed[i].empty()) out[i].listed_date = listed[i];
    }
    return out;
  }

  static std::optional<quillonc::Table> table_of(const std::string& id, const py::object& converted) {
    if (converted.is_none()) return std::nullopt;
    const auto parts = converted.cast<py::tuple>();
    quillonc::Table t;
    t.order_book_id = id;
    t.time = to_vector<std::int64_t>(parts[0]);
    if (!parts[1].is_none()) t.trading_date = to_vector<std::int64_t>(parts[1]);
    for (const auto& c : parts[2].cast<py::list>()) {
      const auto pair = c.cast<py::tuple>();
      t.columns.emplace_back(pair[0].cast<std::string>(), to_vector<double>(pair[1]));
    }
    return t;
  }
};

}  // namespace

py::module_ adapters() { return py::module_::import(adapters_module_name().c_str()); }

std::string Raised::one_line(const py::error_already_set& e) {
  std::string type = "Exception", text;
  try {
    type = py::str(e.type().attr("__name__")).cast<std::string>();
    text = py::str(e.value()).cast<std::string>();
  } catch (const std::exception&) {
    text = e.what();
  }
  std::string line = text.empty() ? type : type + ": " + text;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  return line;
}

void throw_raised(py::error_already_set& e) {
  const std::string line = Raised::one_line(e);
  if (!e.matches(PyExc_Exception)) throw Interrupted(line, e);
  if (e.matches(permission_denied_class())) throw Failed<quillonc::PermissionDenied>(line, e);
  throw Failed<quillonc::ServiceError>(line, e);
}

py::object permission_denied_class() {
  return py::module_::import((client_module_name() + ".share.errors").c_str()).attr("PermissionDenied");
}

std::shared_ptr<quillonc::Client> make_python_client() { return std::make_shared<PythonClient>(); }

std::shared_ptr<quillonc::Client> make_embedded_client(const std::string& module, const std::string& adapters_module,
                                                       std::function<bool()> host_ignores_warnings) {
  client_module_name() = module;
  adapters_module_name() = adapters_module;
  return std::make_shared<PythonClient>(std::move(host_ignores_warnings));
}

}  // namespace py_outside
