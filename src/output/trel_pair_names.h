// The names of one aligned pair's result files, as their writers make them
// and as the files that name each other (alignment headers, viewer command
// files) quote them: target name + "_" + query name + target suffix + kind
// and extension for the pair's files, query name + query suffix + ".pdb" for
// the query's superposed PDB file. A name too long for the file system is
// shortened as zam_fileName does it, the same way in every writer.
#pragma once

#include <string>

#include "runtime/zam_directory.h"
#include "structure/zam_pdb.h"

struct _trel_pair_names {
  std::string target, query, query_suffix, target_suffix;

  // The pair's file whose name ends in tail after the target suffix.
  std::string file(const std::string& tail) const {
    return zam_fileName({target, query}, target_suffix + tail);
  }
  // The query's file whose name ends in tail after the query suffix.
  std::string queryFile(const std::string& tail) const { return zam_fileName({query}, query_suffix + tail); }
  // The superposed query and target PDB files of the pair.
  std::string queryOut() const { return queryFile(".pdb"); }
  std::string targetOut() const { return file(".pdb"); }
};

// The names of the pair of query and target images (a null name or suffix
// is empty).
inline _trel_pair_names trel_pairNames(const _pdb_image* query, const _pdb_image* target,
                                       const char* query_suffix, const char* target_suffix) {
  const auto text = [](const char* s) { return s ? s : ""; };
  return {text(target->name), text(query->name), text(query_suffix), text(target_suffix)};
}
