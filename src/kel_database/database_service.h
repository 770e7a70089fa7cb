// The library's side of the process-wide database service: the functions the
// Connection object uses (none of them is exported).
#pragma once

#include <kel_system.h>

#include <boost/shared_ptr.hpp>

class _kel_sqlite;

/// Enters a new object in the live-object list (once).
void kel_database_ref(boost::shared_ptr<_kel_object> object);
/// Takes a released object off the live-object list, prints the count left
/// and, once a shutdown was requested and the list is empty, stops the service.
void kel_database_unref(boost::shared_ptr<_kel_object> object);

/// The name registry of open Connection objects.
void kel_database_add_sqlite(boost::shared_ptr<_kel_sqlite> object);
void kel_database_remove_sqlite(boost::shared_ptr<_kel_sqlite> object);
