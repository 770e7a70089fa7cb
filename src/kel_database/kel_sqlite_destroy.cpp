// Connection object: explicit destruction and the release on the service thread.
#include "kel_sqlite.h"

#include "console.h"
#include "database_service.h"
#include "kel_assert.h"
#include "state_checks.h"

#include <boost/any.hpp>

namespace {
constexpr char kDestroyedKey[] = "object-destroyed";

// The release job, on the database service thread: closes the connection,
// drops the framework's reference and leaves the live-object list.
void release(const boost::shared_ptr<_kel_sqlite>& owner, _kel_sqlite* object) {
  if (object->is_opened()) object->close();  // finalizes the statement first
  KEL_ASSERT(!object->is_opened());
  if (object->is_reffed()) kel_object_unref_real(owner);
  kel_database_unref(object->shared_from_this());
}
}  // namespace

void _kel_sqlite::destroy(std::string file, int line) {
  // The object's mutex is never taken under the service mutex.
  KEL_ASSERT(!kel_database_service_mutex_held());
  {
    std::lock_guard<std::mutex> lock(mutex);
    boost::any value;
    if (kel_property_get(properties, kDestroyedKey, value)) {
      try {
        if (boost::any_cast<bool>(value)) {
          kel_console::repeated_destroy(object_tag(), file, line);
          describe();
          return;
        }
        *boost::any_cast<bool>(&properties.find(kDestroyedKey)->second) = true;
      } catch (const boost::bad_any_cast& error) {
        kel_console::failed_cast(kel_checks::kModule, kel_checks::line::failed_cast, error.what());
        // Then destroyed as by a first destroy. A mark that never reads as
        // a bool would refuse every destroy, and the object, never released,
        // would keep every shutdown waiting; marked true, a second destroy
        // is refused as usual.
        properties.find(kDestroyedKey)->second = true;
      }
    }
    // From here on the object never opens again: once released, nothing
    // (no framework reference, no live-object list) would ever release it.
    destroyed = true;
  }
  // Released whether or not the object is open: only the release takes it off
  // the live-object list, and a shutdown waits for that list to empty.
  queue_release();
}

void _kel_sqlite::queue_release() {
  kel_database_queue_release([owner = self(), object = this] { release(owner, object); }, kel_checks::kModule,
                             kel_checks::line::release_job);
}
