/* Queue plug-in of the send-files page's uploader: after each file the next queued one is
   sent, and when none is left queue_complete_handler gets the number of files that arrived
   since the queue started. cancelQueue cancels everything still waiting and the file being
   sent. */

if (typeof SWFUpload === "function") {
	SWFUpload.queue = {};

	SWFUpload.plugins.push(function (swfu) {
		var custom = swfu.customSettings;
		custom.queue_cancelled_flag = false;
		custom.queue_upload_count = 0;

		var pageComplete = swfu.settings.upload_complete_handler;
		swfu.settings.upload_complete_handler = function (file) {
			if (file.filestatus === SWFUpload.FILE_STATUS.COMPLETE) {
				custom.queue_upload_count++;
			}
			var result;
			if (typeof pageComplete === "function") {
				result = pageComplete.call(this, file);
			}
			var stats = this.getStats();
			if (stats.files_queued > 0 && !custom.queue_cancelled_flag) {
				this.startUpload();
			} else if (stats.in_progress === 0) {
				SWFUpload.queue.finish(this);
			}
			return result;
		};
	});

	SWFUpload.queue.finish = function (swfu) {
		var custom = swfu.customSettings;
		var count = custom.queue_upload_count;
		custom.queue_cancelled_flag = false;
		custom.queue_upload_count = 0;
		var handler = swfu.settings.queue_complete_handler;
		if (typeof handler === "function") {
			handler.call(swfu, count);
		}
	};

	SWFUpload.prototype.cancelQueue = function () {
		var stats = this.getStats();
		// Set first: the cancelled file's completion must not start the next one.
		this.customSettings.queue_cancelled_flag = stats.in_progress > 0;
		while (this.getStats().files_queued > 0) {
			this.cancelUpload(this.queue[0].id);
		}
		if (stats.in_progress > 0) {
			this.cancelUpload();
		}
	};
}
