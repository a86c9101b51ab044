/* Settings jemalloc reads at start when it serves the executable's allocations.
 *
 * Blocks of 8 MiB and more (the bytes of a message file with a large attachment) go by default
 * to an arena that returns their pages to the system as soon as they are freed, so the next
 * file of that size faults in and zero-fills every page again. Served like the others, their
 * pages are kept for the next file a while (jemalloc's usual decay of some seconds). */
const char* malloc_conf = "oversize_threshold:0";
