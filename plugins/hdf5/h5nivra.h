/* The Nivra HDF5 filter (libh5nivra): its number, from HDF5's range for filters not yet
 * registered (256-511). Datasets name it with H5Pset_filter(dcpl, H5NIVRA_FILTER_ID, ...)
 * and no client values; the filter fills them in (version, byte order, chunk shape). */
#ifndef H5NIVRA_H
#define H5NIVRA_H

#define H5NIVRA_FILTER_ID 356

#endif
