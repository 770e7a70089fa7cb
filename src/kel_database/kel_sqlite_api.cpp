// The exported kel_sqlite_* functions. Each answers an empty handle itself
// (a warning line naming the function, then its default) and otherwise hands
// the work to the Connection object.
#include "kel_sqlite.h"

#include "console.h"
#include "database_service.h"

#include <boost/make_shared.hpp>
#include <sqlite3.h>

namespace {

// True (after the warning line) when the handle holds no object.
inline bool null_handle(const void* object, const char* function) {
  if (object != nullptr) return false;
  kel_console::null_object(function);
  return true;
}

constexpr int kMissingBindParameters = 1001;
constexpr char kMissingBindParametersText[] = "Prepared statement missing bind parameters";

}  // namespace

boost::shared_ptr<_kel_sqlite> kel_sqlite_new(std::string path, std::string name) {
  boost::shared_ptr<_kel_sqlite> object = boost::make_shared<_kel_sqlite>(std::move(path), std::move(name));
  kel_object_ref(object);
  kel_database_ref(object);
  return object;
}

bool kel_is_sqlite(boost::shared_ptr<_kel_object> obj) { return dynamic_cast<_kel_sqlite*>(obj.get()) != nullptr; }

boost::shared_ptr<_kel_object> kel_sqlite_to_object(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return {};
  return obj->to_object();
}

boost::shared_ptr<_kel_sqlite> kel_sqlite_from_object(boost::shared_ptr<_kel_object> obj) {
  if (null_handle(obj.get(), __func__)) return {};
  auto* object = dynamic_cast<_kel_sqlite*>(obj.get());
  if (object == nullptr) return {};
  return object->self();
}

std::string kel_sqlite_get_name(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return {};
  return obj->get_name();
}

bool kel_sqlite_destroy(boost::shared_ptr<_kel_sqlite> obj, std::string file, int line) {
  if (null_handle(obj.get(), __func__)) return false;
  obj->destroy(std::move(file), line);
  return true;
}

int kel_sqlite_try_open(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->try_open();
}

int kel_sqlite_open(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->open();
}

bool kel_sqlite_is_opened(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return false;
  return obj->is_opened();
}

bool kel_sqlite_close(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return false;
  obj->close();
  return true;
}

int kel_sqlite_sql_stmt(boost::shared_ptr<_kel_sqlite> obj, const char* sql, char** errmsg) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->sql_stmt(sql, errmsg);
}

bool kel_sqlite_free(boost::shared_ptr<_kel_sqlite> obj, char*& message) {
  if (null_handle(obj.get(), __func__)) return false;
  sqlite3_free(message);
  message = nullptr;
  return true;
}

const char* kel_sqlite_errstr(boost::shared_ptr<_kel_sqlite> obj, int code) {
  if (null_handle(obj.get(), __func__)) return nullptr;
  return code == kMissingBindParameters ? kMissingBindParametersText : sqlite3_errstr(code);
}

int kel_sqlite_last_error_code(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->last_error_code();
}

const char* kel_sqlite_last_error_message(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return nullptr;
  return obj->last_error_message();
}

int kel_sqlite_prepare(boost::shared_ptr<_kel_sqlite> obj, std::string sql) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->prepare(sql);
}

int kel_sqlite_bind_int(boost::shared_ptr<_kel_sqlite> obj, int index, int value) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->bind_int(index, value);
}

int kel_sqlite_bind_int64(boost::shared_ptr<_kel_sqlite> obj, int index, long long value) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->bind_int64(index, value);
}

int kel_sqlite_bind_double(boost::shared_ptr<_kel_sqlite> obj, int index, double value) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->bind_double(index, value);
}

int kel_sqlite_bind_blob(boost::shared_ptr<_kel_sqlite> obj, int index, const unsigned char* data, unsigned long size) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->bind_blob(index, data, size);
}

int kel_sqlite_bind_blob_static(boost::shared_ptr<_kel_sqlite> obj, int index, const unsigned char* data,
                                unsigned long size) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->bind_blob_static(index, data, size);
}

int kel_sqlite_bind_text(boost::shared_ptr<_kel_sqlite> obj, int index, const char* text, unsigned long size) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->bind_text(index, text, size);
}

int kel_sqlite_bind_text_static(boost::shared_ptr<_kel_sqlite> obj, int index, const char* text, unsigned long size) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->bind_text_static(index, text, size);
}

int kel_sqlite_bind_parameter_count(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->bind_parameter_count();
}

const char* kel_sqlite_bind_parameter_name(boost::shared_ptr<_kel_sqlite> obj, int index) {
  if (null_handle(obj.get(), __func__)) return nullptr;
  return obj->bind_parameter_name(index);
}

int kel_sqlite_bind_parameter_index(boost::shared_ptr<_kel_sqlite> obj, const char* name) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->bind_parameter_index(name);
}

int kel_sqlite_bind_clear(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->bind_clear();
}

int kel_sqlite_step(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->step();
}

int kel_sqlite_reset(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->reset();
}

bool kel_sqlite_finalize(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return false;
  obj->release_statement();
  return true;
}

const char* kel_sqlite_sql(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return nullptr;
  return obj->sql();
}

int kel_sqlite_rows_each(boost::shared_ptr<_kel_sqlite> obj, kel_sqlite_row_callback callback) {
  if (null_handle(obj.get(), __func__)) return -1;
  unsigned long count = 0;
  return obj->rows_each(count, callback);
}

int kel_sqlite_rows_each(boost::shared_ptr<_kel_sqlite> obj, unsigned long& count, kel_sqlite_row_callback callback) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->rows_each(count, callback);
}

int kel_sqlite_data_count(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->data_count();
}

int kel_sqlite_column_count(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->column_count();
}

long long kel_sqlite_last_insert_rowid(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->last_insert_rowid();
}

int kel_sqlite_affected_rows_count(boost::shared_ptr<_kel_sqlite> obj) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->affected_rows_count();
}

bool kel_sqlite_column_blob(boost::shared_ptr<_kel_sqlite> obj, int column, unsigned char*& data, int& size) {
  if (null_handle(obj.get(), __func__)) return false;
  return obj->column_blob(column, data, size);
}

std::string kel_sqlite_column_text(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return {};
  return obj->column_text(column);
}

int kel_sqlite_column_int(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->column_int(column);
}

long long kel_sqlite_column_int64(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->column_int64(column);
}

double kel_sqlite_column_double(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return -1.0;
  return obj->column_double(column);
}

int kel_sqlite_column_type(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return -1;
  return obj->column_type(column);
}

const char* kel_sqlite_column_decltype(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return nullptr;
  return obj->column_decltype(column);
}

const char* kel_sqlite_column_name(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return nullptr;
  return obj->column_name(column);
}

bool kel_sqlite_is_column_null(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return false;
  return obj->column_type(column) == SQLITE_NULL;
}

bool kel_sqlite_is_column_text(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return false;
  return obj->column_type(column) == SQLITE_TEXT;
}

bool kel_sqlite_is_column_blob(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return false;
  return obj->column_type(column) == SQLITE_BLOB;
}

bool kel_sqlite_is_column_int(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return false;
  return obj->column_type(column) == SQLITE_INTEGER;
}

bool kel_sqlite_is_column_double(boost::shared_ptr<_kel_sqlite> obj, int column) {
  if (null_handle(obj.get(), __func__)) return false;
  return obj->column_type(column) == SQLITE_FLOAT;
}
