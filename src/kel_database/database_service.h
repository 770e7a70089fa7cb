// The library's side of the process-wide database service: the functions the
// Connection object uses (none of them is exported).
#pragma once

#include <kel_system.h>

#include <boost/shared_ptr.hpp>

#include <functional>
#include <string>

class _kel_sqlite;

/// Queues a Connection object's release on the service. With no service to
/// queue it on, the release runs at once on the calling thread; while a stop
/// that this library asked for is under way (queued work may never run then),
/// it is held back and run by the finished handler. Either way it is never
/// lost: an object left on the live-object list would keep every later
/// shutdown waiting.
void kel_database_queue_release(std::function<void()> release, std::string file, int line);

/// Enters a new object in the live-object list (once).
void kel_database_ref(boost::shared_ptr<_kel_object> object);
/// Takes a released object off the live-object list, prints the count left
/// and, once a shutdown was requested and the list is empty, stops the service.
void kel_database_unref(boost::shared_ptr<_kel_object> object);

/// Whether this thread holds the service mutex. Known only in builds that
/// check the internal invariants (kel_assert.h); false in the others.
bool kel_database_service_mutex_held();

/// The name registry of open Connection objects.
void kel_database_add_sqlite(boost::shared_ptr<_kel_sqlite> object);
void kel_database_remove_sqlite(boost::shared_ptr<_kel_sqlite> object);
