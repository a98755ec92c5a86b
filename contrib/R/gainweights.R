# gainweights() runs the gainweights program from R, as a function: it takes
# the parameter table and the pedigree as data frames, runs the program in a
# temporary folder and returns its results as data frames. The program's
# warnings become R warnings and a run that stops becomes an R error with the
# program's own message.
#
#   source("contrib/R/gainweights.R")
#   res <- gainweights(parameters, pedigree, trait_names = c("gain", "backfat"))
#   res$weights      # one row per trait: group1, group2, overall, reference
#   res$candidates   # one row per candidate: weights, reliabilities, sd_index, ...
#
# parameters: one row per trait with T + 2 numeric columns: the target value
#   K0, the phenotypic variance, and the trait's row of the covariance table
#   (genetic on and below the diagonal, residual above it).
# pedigree: one row per animal: the animal, its sire and its dam, then the
#   candidate flag, the group flag and one record flag per trait. With
#   prepare = NA (the default) a table whose first column is 1, 2, 3, ...
#   and whose parents are row numbers of earlier rows (0 unknown) is used as
#   it stands; any other table (identifiers such as ear tags, in any order)
#   goes through "gainweights prepare" first, with NA or "0" for an unknown
#   parent. prepare = TRUE or FALSE decides it explicitly.
# sparse, skip_undetermined: the program's --sparse and --skip-undetermined.
# trait_names: T names for the columns of the candidate table (--trait-names).
# plot: a file (.png, .svg or .pdf) for the program's picture of the
#   candidates (--plot), written where R runs; NULL: none.
# program: the gainweights executable; by default the environment variable
#   GAINWEIGHTS, else "gainweights" on the search path.
gainweights <- function(parameters, pedigree, sparse = FALSE, trait_names = NULL,
                        skip_undetermined = FALSE, prepare = NA, plot = NULL,
                        program = Sys.getenv("GAINWEIGHTS", "gainweights")) {
  parameters <- as.data.frame(parameters)
  pedigree <- as.data.frame(pedigree)
  ntrait <- nrow(parameters)
  if (ntrait < 1) stop("gainweights: the parameter table has no row", call. = FALSE)
  if (ncol(parameters) < ntrait + 2)
    stop(sprintf("gainweights: the parameter table has %d columns, but %d traits need %d",
                 ncol(parameters), ntrait, ntrait + 2), call. = FALSE)
  if (ncol(pedigree) != ntrait + 5)
    stop(sprintf("gainweights: the pedigree has %d columns, but %d traits need %d (animal, sire, dam, candidate, group and one record flag per trait)",
                 ncol(pedigree), ntrait, ntrait + 5), call. = FALSE)
  if (!is.null(trait_names) && length(trait_names) != ntrait)
    stop(sprintf("gainweights: %d trait names for %d traits", length(trait_names), ntrait), call. = FALSE)

  dir <- tempfile("gainweights-")
  dir.create(dir)
  on.exit(unlink(dir, recursive = TRUE), add = TRUE)
  number <- function(x) format(x, digits = 17, scientific = FALSE, trim = TRUE)
  lines <- apply(parameters[, seq_len(ntrait + 2), drop = FALSE], 1,
                 function(row) paste(vapply(row, number, ""), collapse = ","))
  writeLines(lines, file.path(dir, "GParameter.csv"))

  messages <- character()
  run <- function(args) {
    out <- file.path(dir, ".stdout")
    err <- file.path(dir, ".stderr")
    status <- system2(program, args, stdout = out, stderr = err)
    text <- if (file.exists(err)) readLines(err, warn = FALSE) else character()
    # A message of several lines has the program's name before each.
    starts <- grepl("^gainweights: (warning: )?[^ ]", text)
    groups <- split(sub("^gainweights: ", "", text), cumsum(starts))
    for (g in groups) {
      if (startsWith(g[1], "warning: ")) warning(sub("^warning: ", "", paste(g, collapse = "\n")), call. = FALSE)
      else messages <<- c(messages, paste(g, collapse = "\n"))
    }
    if (!identical(status, 0L) && !identical(status, 0)) {
      console <- if (file.exists(out)) trimws(readLines(out, warn = FALSE)) else character()
      console <- console[nzchar(console) & !grepl("^(Date = | *[0-9]+$)", console)]
      stop(paste(c(sprintf("gainweights stopped (exit status %s):", status), console, messages),
                 collapse = "\n"), call. = FALSE)
    }
    if (file.exists(out)) readLines(out, warn = FALSE) else character()
  }

  rows <- seq_len(nrow(pedigree))
  numbered <- if (is.na(prepare)) {
    all(vapply(pedigree[1:3], function(x) is.numeric(x) && !anyNA(x), TRUE)) &&
      all(pedigree[[1]] == rows) && all(pedigree[[2]] %in% c(0, rows) & pedigree[[2]] < rows) &&
      all(pedigree[[3]] %in% c(0, rows) & pedigree[[3]] < rows)
  } else {
    !isTRUE(prepare)
  }
  old <- setwd(dir)
  on.exit(setwd(old), add = TRUE)
  if (numbered) {
    write.table(pedigree, "Pedigree&Record.csv", sep = ",", quote = FALSE, row.names = FALSE, col.names = FALSE)
  } else {
    herd <- pedigree
    for (j in 1:3) herd[[j]] <- ifelse(is.na(herd[[j]]), "0", as.character(herd[[j]]))
    write.table(herd, "herd.txt", sep = ",", quote = FALSE, row.names = FALSE, col.names = FALSE)
    run(c("prepare", "herd.txt"))
  }
  args <- c(if (sparse) "--sparse", if (skip_undetermined) "--skip-undetermined",
            if (!is.null(trait_names)) c("--trait-names", shQuote(paste(trait_names, collapse = ","))),
            if (!is.null(plot)) c("--plot", shQuote(basename(plot))),
            "--candidates", "candidates.csv")
  console <- run(args)

  if (!is.null(plot)) file.copy(basename(plot), file.path(old, plot), overwrite = TRUE)
  values <- read.table("Weighted_value.csv", header = FALSE, col.names = c("group1", "group2", "overall", "reference"))
  weights <- data.frame(trait = if (is.null(trait_names)) as.character(seq_len(ntrait)) else trait_names,
                        values, stringsAsFactors = FALSE)
  candidates <- read.csv("candidates.csv", stringsAsFactors = FALSE, na.strings = "",
                         colClasses = c(id = "character", undetermined = "character", source_line = "integer"))
  list(weights = weights, candidates = candidates, console = console)
}
