# The R function against the program's own files: on examples/herd the
# returned data frames hold the numbers of Weighted_value.csv and of the
# candidate file; an identifier pedigree goes through prepare; a failing
# input is an R error with the program's message, and a warning an R
# warning.
args <- commandArgs(trailingOnly = TRUE)
root <- args[1]
Sys.setenv(GAINWEIGHTS = args[2])
source(file.path(root, "contrib", "R", "gainweights.R"))

failures <- 0
check <- function(ok, what) {
  if (!isTRUE(ok)) {
    cat("FAILED:", what, "\n")
    failures <<- failures + 1
  }
}

herd <- file.path(root, "examples", "herd")
parameters <- read.csv(file.path(herd, "GParameter.csv"), header = FALSE)
pedigree <- read.csv(file.path(herd, "Pedigree&Record.csv"), header = FALSE)

# The same run by hand, in a folder of its own.
dir <- tempfile("herd-")
dir.create(dir)
invisible(file.copy(file.path(herd, c("GParameter.csv", "Pedigree&Record.csv")), dir))
old <- setwd(dir)
status <- system2(args[2], c("--candidates", "c.csv"), stdout = FALSE, stderr = FALSE)
setwd(old)
check(status == 0, "the program runs on examples/herd")
expected <- read.table(file.path(dir, "Weighted_value.csv"))
expected_candidates <- read.csv(file.path(dir, "c.csv"), stringsAsFactors = FALSE, na.strings = "")

res <- gainweights(parameters, pedigree)
check(identical(unname(as.matrix(res$weights[, -1])), unname(as.matrix(expected))), "the four result columns")
check(identical(res$candidates$w_3, expected_candidates$w_3), "the candidates' weights, to the bit")
check(identical(res$candidates$line, expected_candidates$line), "the candidates' lines")
check(all(abs(res$candidates$rel_1 - expected_candidates$rel_1) == 0), "the reliabilities")

named <- gainweights(parameters, pedigree, trait_names = c("gain", "backfat", "born_alive"))
check(identical(named$candidates$w_born_alive, expected_candidates$w_3), "the trait names name the columns")
check(identical(named$candidates$response_gain, parameters[1, 1] / named$candidates$sd_index),
      "the responses are K0 / sd_index")
check(identical(named$weights$trait, c("gain", "backfat", "born_alive")), "the traits of the result rows")

sparse <- gainweights(parameters, pedigree, sparse = TRUE)
check(max(abs(sparse$weights$overall - res$weights$overall) / abs(res$weights$overall)) < 1e-9,
      "the sparse path agrees to 1e-9")

# An identifier pedigree, given as a data frame with NA for unknown parents.
tagged <- file.path(root, "examples", "tagged-herd")
herd_txt <- read.table(file.path(tagged, "herd.txt"), header = FALSE, comment.char = "#",
                       stringsAsFactors = FALSE, na.strings = "NA")
tagged_res <- gainweights(read.csv(file.path(tagged, "GParameter.csv"), header = FALSE), herd_txt)
check(nrow(tagged_res$candidates) == 6, "six candidates in the tagged herd")
check("G-2231" %in% tagged_res$candidates$id, "the candidates carry their ear tags")
# Each candidate's line in the data frame given (the source file of prepare).
check(identical(tagged_res$candidates$source_line[tagged_res$candidates$id == "G-2231"],
                which(herd_txt[[1]] == "G-2231")), "the candidates' source lines")

# A failing input: a parent on a later line stops the run, as an R error
# that carries the program's message.
bad <- pedigree
bad[1, 2] <- 3
msg <- tryCatch({
  gainweights(parameters, bad, prepare = FALSE)
  ""
}, error = function(e) conditionMessage(e))
check(grepl("Pedigree&Record.csv line 1: parent 3 does not stand on an earlier line", msg, fixed = TRUE),
      paste("the program's message in the R error:", msg))

# A warning of the program is an R warning.
no_targets <- parameters
no_targets[, 1] <- 0
w <- NULL
invisible(withCallingHandlers(gainweights(no_targets, pedigree),
                    warning = function(x) { w <<- c(w, conditionMessage(x)); invokeRestart("muffleWarning") }))
check(any(grepl("the target value K0 (field 1) is 0 for every trait", w, fixed = TRUE)),
      "the parameter warning as an R warning")

if (failures > 0) quit(status = 1)
cat("all R checks passed\n")
